#include "core/error.h"

#include <cstring>

namespace vyr {

Error Error::os(int err) {
  char buf[256];
  // GNU strerror_r returns the message, which may or may not live in buf.
  const char* text = ::strerror_r(err, buf, sizeof buf);
  return Error(std::string(text) + " (os error " + std::to_string(err) + ")");
}

void raise_fault(const char* message) { throw Fault(message); }

}  // namespace vyr
