#include "core/fs.h"

#include <cerrno>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>

namespace vyr {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

Error nul_in_path() { return Error("file name contained an unexpected NUL byte"); }

bool path_parent(const std::string& path, std::string& parent) {
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return false;  // "" or "/": no last component
  size_t slash = path.find_last_of('/', end - 1);
  if (slash == std::string::npos) {
    parent.clear();
    return true;
  }
  size_t pend = slash;
  while (pend > 0 && path[pend - 1] == '/') --pend;
  parent = pend == 0 ? "/" : path.substr(0, pend);
  return true;
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return !path.empty() && !has_nul(path) && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

namespace {

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status create_dir_all(const std::string& dir) {
  if (dir.empty() || is_dir(dir)) return {};
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    std::string parent;
    if (path_parent(dir, parent) && !parent.empty()) {
      if (Status s = create_dir_all(parent); !s.ok()) return s;
      if (::mkdir(dir.c_str(), 0777) == 0) return {};
      err = errno;
    }
  }
  // Someone else may have created it meanwhile; that is success.
  if (is_dir(dir)) return {};
  return Error::os(err);
}

}  // namespace

Status create_parent_dirs(const std::string& out_path) {
  if (has_nul(out_path)) return nul_in_path();
  std::string parent;
  if (!path_parent(out_path, parent) || parent.empty()) return {};
  return create_dir_all(parent);
}

Result<std::vector<std::string>> list_html_files(const std::string& dir) {
  if (has_nul(dir)) return nul_in_path();
  struct Closer {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
  };
  std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
  if (!d) return Error::os(errno);
  std::vector<std::string> out;
  const std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d.get());
    if (!e) {
      if (errno != 0) return Error::os(errno);
      break;
    }
    std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) continue;
    std::string_view ext = name.substr(dot + 1);
    if (ext == "html" || ext == "htm") out.push_back(prefix + std::string(name));
  }
  return out;
}

}  // namespace vyr
