#include "core/mapped_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fs.h"

namespace vyr {

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  for (size_t i = 0; i < path.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(path[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[12];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else if (c >= 0x80) {
          // Paths are bytes; keep valid UTF-8 as is and escape stray bytes.
          size_t n = (c >= 0xF0 && c < 0xF5) ? 4 : (c >= 0xE0) && c < 0xF0 ? 3 : (c >= 0xC2 && c < 0xE0) ? 2 : 0;
          bool ok = n > 0 && i + n <= path.size();
          for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(path[i + k]) & 0xC0) == 0x80;
          if (ok) {
            out.append(path.substr(i, n));
            i += n - 1;
          } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
          }
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out += "\"";
  return out;
}

Result<MappedFile> MappedFile::open_readonly(const std::string& path) {
  if (has_nul(path)) return nul_in_path().context("open " + quoted_path(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::os(errno).context("open " + quoted_path(path));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Error::os(err);
  }
  size_t size = static_cast<size_t>(st.st_size);
  size_t mapped = size == 0 ? 1 : size;
  void* base = ::mmap(nullptr, mapped, PROT_READ, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (base == MAP_FAILED) return Error::os(err);
#if defined(MADV_HUGEPAGE)
  // A graph is read in long runs. Asked for huge pages, the kernel reads the
  // parts of the file that are not cached yet in large blocks, which it can
  // then map a block at a time. Only advice: failure changes nothing.
  (void)::madvise(base, mapped, MADV_HUGEPAGE);
#endif
  return MappedFile(base, size, mapped);
}

MappedFile::MappedFile(MappedFile&& o) noexcept : base_(o.base_), size_(o.size_), mapped_(o.mapped_) {
  o.base_ = nullptr;
  o.size_ = o.mapped_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    if (base_) ::munmap(base_, mapped_);
    base_ = o.base_;
    size_ = o.size_;
    mapped_ = o.mapped_;
    o.base_ = nullptr;
    o.size_ = o.mapped_ = 0;
  }
  return *this;
}

MappedFile::~MappedFile() {
  if (base_) ::munmap(base_, mapped_);
}

}  // namespace vyr
