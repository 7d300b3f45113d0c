#include "python/jobs.h"

#include "core/builder.h"
#include "core/fs.h"
#include "core/store.h"
#include "extract/pipeline.h"

namespace vyr::jobs {
namespace {

Result<uint64_t> finish(GraphBuilder&& builder, const std::string& out_path) {
  Result<Graph> graph = std::move(builder).build();
  if (!graph.ok()) return graph.error();
  if (Status s = create_parent_dirs(out_path); !s.ok()) return s.error();
  return save(*graph, out_path);
}

}  // namespace

Result<uint64_t> build_graph(const std::vector<std::string>& pages, const std::string& out_path) {
  GraphBuilder builder;
  extract::ingest_pages_into(builder, pages);
  return finish(std::move(builder), out_path);
}

Result<std::pair<uint64_t, uint64_t>> build_graph_from_dir(const std::string& html_dir,
                                                           const std::string& out_path) {
  Result<std::vector<std::string>> paths = list_html_files(html_dir);
  if (!paths.ok()) return paths.error();
  Result<uint64_t> bytes = finish(extract::build_from_files(*paths), out_path);
  if (!bytes.ok()) return bytes.error();
  return std::pair<uint64_t, uint64_t>(paths->size(), *bytes);
}

Result<uint64_t> merge_graph(const std::string& existing_path, const std::vector<std::string>& pages,
                             const std::vector<std::string>& removed_urls, const std::string& out_path) {
  GraphBuilder builder;
  if (is_regular_file(existing_path)) {
    // The whole file is copied in, so out_path may name the same file.
    Result<Graph> existing = load_owned(existing_path);
    if (!existing.ok()) return existing.error();
    builder = GraphBuilder::from_graph(*existing);
  }
  extract::ingest_pages_into(builder, pages);
  for (const std::string& url : removed_urls) (void)builder.remove_node_by_url(url);
  return finish(std::move(builder), out_path);
}

}  // namespace vyr::jobs
