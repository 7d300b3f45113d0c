#include "extract/pipeline.h"

#include <cstdio>

#include "core/mapped_file.h"

namespace vyr::extract {

void ingest_pages_into(GraphBuilder& builder, const std::vector<std::string>& pages) {
  (void)builder;
  (void)pages;
}

GraphBuilder build_from_files(const std::vector<std::string>& paths) {
  GraphBuilder builder;
  for (const std::string& path : paths) {
    Result<MappedFile> file = MappedFile::open_readonly(path);
    if (!file.ok()) {
      const Error& e = file.error().cause() ? *file.error().cause() : file.error();
      std::fprintf(stderr, "vyr: skip %s: %s\n", quoted_path(path).c_str(), e.message().c_str());
      continue;
    }
  }
  return builder;
}

}  // namespace vyr::extract
