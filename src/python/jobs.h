// The work behind each module function, free of Python: plain arguments in,
// a Result out. Runs with the interpreter lock released.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace vyr::jobs {

Result<uint64_t> build_graph(const std::vector<std::string>& pages, const std::string& out_path);

// (number of selected files, bytes written)
Result<std::pair<uint64_t, uint64_t>> build_graph_from_dir(const std::string& html_dir,
                                                           const std::string& out_path);

Result<uint64_t> merge_graph(const std::string& existing_path, const std::vector<std::string>& pages,
                             const std::vector<std::string>& removed_urls, const std::string& out_path);

}  // namespace vyr::jobs
