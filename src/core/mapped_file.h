// A read-only shared mapping of a whole file. The descriptor is closed as soon
// as the mapping exists; the destructor unmaps.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/error.h"

namespace vyr {

class MappedFile {
 public:
  // Fails with "open {path:?}" (the OS error as its cause) when the file
  // cannot be opened, or with the OS error text when it cannot be measured or
  // mapped. An empty file maps one page so that bytes() is always valid.
  static Result<MappedFile> open_readonly(const std::string& path);

  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::string_view bytes() const { return {static_cast<const char*>(base_), size_}; }
  const unsigned char* data() const { return static_cast<const unsigned char*>(base_); }
  size_t size() const { return size_; }

 private:
  MappedFile(void* base, size_t size, size_t mapped) : base_(base), size_(size), mapped_(mapped) {}
  void* base_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;
};

// A path in double quotes with quotes, backslashes and control characters
// escaped, as error messages print it.
std::string quoted_path(std::string_view path);

}  // namespace vyr
