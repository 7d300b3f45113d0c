// Pages in, builder calls out: the in-memory batch and the directory build.
#pragma once

#include <string>
#include <vector>

#include "core/builder.h"

namespace vyr::extract {

// Extracts every page in parallel, then folds the results into `builder` on
// the calling thread in page order, so results never depend on thread timing.
// A Fault raised while extracting any page propagates to the caller.
void ingest_pages_into(GraphBuilder& builder, const std::vector<std::string>& pages);

// Reads, extracts and folds one file at a time on the calling thread. A file
// that cannot be read, or whose extraction faults, is skipped with one
// "vyr: ..." line on standard error.
GraphBuilder build_from_files(const std::vector<std::string>& paths);

}  // namespace vyr::extract
