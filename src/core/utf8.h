// UTF-8 checks shared by the builder, the store readers and the extractors.
#pragma once

#include <string>
#include <string_view>

namespace vyr {

bool is_valid_utf8(std::string_view bytes);

// Valid UTF-8 with every ill-formed sequence replaced by U+FFFD, one
// replacement per maximal invalid subpart (the WHATWG decoder's rule).
std::string to_valid_utf8(std::string_view bytes);

}  // namespace vyr
