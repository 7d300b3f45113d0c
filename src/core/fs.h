// File-system steps of the module's jobs, with OS errors as values.
#pragma once

#include <string>
#include <vector>

#include "core/error.h"

namespace vyr {

// A path holding a NUL byte cannot be handed to the OS (it would be cut
// short there and name another file); every file step refuses it with this.
bool has_nul(const std::string& path);
Error nul_in_path();

// Creates the parent directory of `out_path` and its missing ancestors (mode
// 0777 before umask). A bare file name has no parent and creates nothing.
Status create_parent_dirs(const std::string& out_path);

// Entries of `dir` (one level, listing order, unsorted) whose extension is
// exactly "html" or "htm", each joined to `dir`. The entry type is not looked
// at. Errors are OS errors ("Not a directory (os error 20)").
Result<std::vector<std::string>> list_html_files(const std::string& dir);

// The parent of a path as a path library computes it ("" for a bare name,
// nothing for "/" or ""), without trailing separators.
bool path_parent(const std::string& path, std::string& parent);

// Whether `path` names a regular file after following symbolic links.
bool is_regular_file(const std::string& path);

}  // namespace vyr
