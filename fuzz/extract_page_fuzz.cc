// Any bytes as a page: decoded as the directory build decodes files, then
// extracted, folded and compacted. Nothing may crash, hang or trip a check.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/builder.h"
#include "core/utf8.h"
#include "extract/pipeline.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = vyr::to_valid_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const vyr::extract::PageResult page = vyr::extract::extract_page(text);
  vyr::GraphBuilder builder;
  vyr::extract::ingest_into(builder, page);
  vyr::Result<vyr::Graph> graph = std::move(builder).build();
  (void)graph;
  return 0;
}
