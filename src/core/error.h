// Errors travel as values: every fallible core operation returns a Result.
// Only a broken internal invariant throws (vyr::Fault), and it is caught at
// the module boundary and per file in the directory build.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace vyr {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}

  // "No such file or directory (os error 2)"
  static Error os(int err);

  // The step that failed becomes the message users see; the original is kept
  // as the cause.
  Error context(std::string step) const {
    Error e(std::move(step));
    e.cause_ = std::make_shared<const Error>(*this);
    return e;
  }

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// A Status is a Result with nothing in it; `return {};` means success.
template <>
class [[nodiscard]] Result<std::monostate> {
 public:
  Result() = default;
  Result(Error error) : error_(std::make_unique<Error>(std::move(error))) {}  // NOLINT
  Result(const Result& o) : error_(o.error_ ? std::make_unique<Error>(*o.error_) : nullptr) {}
  Result(Result&&) noexcept = default;
  Result& operator=(Result o) noexcept { error_ = std::move(o.error_); return *this; }

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const { return *error_; }

 private:
  std::unique_ptr<Error> error_;
};
using Status = Result<std::monostate>;

// A broken internal invariant: a bug or a file that lies about itself in a way
// the structural checks cannot see. Never used for bad input from the web.
class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& what) : std::runtime_error(what) {}
};

[[noreturn]] void raise_fault(const char* message);

#define VYR_CHECK(cond, message)                     \
  do {                                               \
    if (!(cond)) ::vyr::raise_fault(message);        \
  } while (0)

}  // namespace vyr
