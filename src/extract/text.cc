#include "extract/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace vyr::extract {

namespace {

// How often a byte turns up in shop pages, roughly: 0 for markup, quotes and
// the most frequent letters, 1 for the other lower-case letters, digits and
// JSON punctuation, 2 for everything else (capitals, rare punctuation,
// non-ASCII bytes).
int commonness_rank(unsigned char c) {
  static constexpr std::string_view FREQUENT = " \"<>=/:-.,\n\teatoinsrlcdpumh";
  static constexpr std::string_view USUAL = "bfgjkqvwxyz0123456789'_{}[];#()";
  if (FREQUENT.find(static_cast<char>(c)) != std::string_view::npos) return 0;
  if (USUAL.find(static_cast<char>(c)) != std::string_view::npos) return 1;
  return 2;
}

}  // namespace

namespace {

constexpr size_t NPOS = std::string_view::npos;

// The first match at or after `i` in h[0, n), one byte at a time.
size_t scan_tail(const char* h, size_t n, std::string_view needle, size_t a, size_t i) {
  for (const size_t last = n - needle.size(); i <= last; ++i)
    if (h[i + a] == needle[a] && std::memcmp(h + i, needle.data(), needle.size()) == 0) return i;
  return NPOS;
}

// Blocks of sixteen candidate starts: those whose bytes at offsets a and b
// both match are compared in full.
size_t scan_sse2(const char* h, size_t n, std::string_view needle, size_t a, size_t b) {
  const size_t reach = std::max(a, b) + 16;  // bytes read from a block's start
  const size_t last = n - needle.size();      // the last possible match start
  const __m128i va = _mm_set1_epi8(needle[a]);
  const __m128i vb = _mm_set1_epi8(needle[b]);
  size_t i = 0;
  for (; i + reach <= n; i += 16) {
    const __m128i ha = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + a));
    const __m128i hb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + b));
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(ha, va), _mm_cmpeq_epi8(hb, vb))));
    for (; mask != 0; mask &= mask - 1) {
      const size_t j = i + static_cast<size_t>(__builtin_ctz(mask));
      if (j > last) return NPOS;
      if (std::memcmp(h + j, needle.data(), needle.size()) == 0) return j;
    }
  }
  return scan_tail(h, n, needle, a, i);
}

// The same with thirty-two candidate starts per block, where the processor
// has AVX2.
__attribute__((target("avx2"))) size_t scan_avx2(const char* h, size_t n, std::string_view needle, size_t a,
                                                 size_t b) {
  const size_t reach = std::max(a, b) + 32;
  const size_t last = n - needle.size();
  const __m256i va = _mm256_set1_epi8(needle[a]);
  const __m256i vb = _mm256_set1_epi8(needle[b]);
  size_t i = 0;
  for (; i + reach <= n; i += 32) {
    const __m256i ha = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + a));
    const __m256i hb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + b));
    auto mask = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(ha, va), _mm256_cmpeq_epi8(hb, vb))));
    for (; mask != 0; mask &= mask - 1) {
      const size_t j = i + static_cast<size_t>(__builtin_ctz(mask));
      if (j > last) return NPOS;
      if (std::memcmp(h + j, needle.data(), needle.size()) == 0) return j;
    }
  }
  return scan_tail(h, n, needle, a, i);
}

// Read during static initialization, so the feature table is filled first.
const bool HAS_AVX2 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
}();

}  // namespace

namespace {

size_t find_text_with(std::string_view hay, std::string_view needle, size_t from, bool avx2) {
  if (from > hay.size() || hay.size() - from < needle.size()) return NPOS;
  if (needle.empty()) return from;
  const char* h = hay.data() + from;
  const size_t n = hay.size() - from;
  const size_t k = needle.size();
  if (k == 1) {
    const void* at = std::memchr(h, needle[0], n);
    return at == nullptr ? NPOS : static_cast<size_t>(static_cast<const char*>(at) - hay.data());
  }
  // The two probe offsets: the rarest byte, then the rarest of the others
  // (the farther one on a tie, since neighbours tend to come together).
  size_t a = 0;
  for (size_t i = 1; i < k; ++i)
    if (commonness_rank(static_cast<unsigned char>(needle[i])) >
        commonness_rank(static_cast<unsigned char>(needle[a])))
      a = i;
  size_t b = a == 0 ? 1 : 0;
  for (size_t i = 0; i < k; ++i) {
    if (i == a) continue;
    const int ri = commonness_rank(static_cast<unsigned char>(needle[i]));
    const int rb = commonness_rank(static_cast<unsigned char>(needle[b]));
    const size_t di = i > a ? i - a : a - i, db = b > a ? b - a : a - b;
    if (ri > rb || (ri == rb && di > db)) b = i;
  }
  const size_t at = avx2 ? scan_avx2(h, n, needle, a, b) : scan_sse2(h, n, needle, a, b);
  return at == NPOS ? NPOS : from + at;
}

}  // namespace

size_t find_text(std::string_view hay, std::string_view needle, size_t from) {
  return find_text_with(hay, needle, from, HAS_AVX2);
}

size_t detail::find_text_sse2(std::string_view hay, std::string_view needle, size_t from) {
  return find_text_with(hay, needle, from, false);
}

// Each character is decoded from a window of at most 4 bytes, so ICU's 32-bit
// offsets stay small whatever the text size.
std::string_view trim_unicode_space(std::string_view s) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  size_t begin = 0;
  while (begin < s.size()) {
    const auto length = static_cast<int32_t>(std::min<size_t>(s.size() - begin, 4));
    int32_t i = 0;
    UChar32 c;
    U8_NEXT(bytes + begin, i, length, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    begin += static_cast<size_t>(i);
  }
  size_t end = s.size();
  while (end > begin) {
    const size_t base = std::max(begin, end >= 4 ? end - 4 : 0);
    auto i = static_cast<int32_t>(end - base);
    UChar32 c;
    U8_PREV(bytes + base, 0, i, c);
    if (c < 0 || !u_isUWhiteSpace(c)) break;
    end = base + static_cast<size_t>(i);
  }
  return s.substr(begin, end - begin);
}

std::string merged_json_text(const json::Object& base, const json::Object& overrides) {
  std::string out;
  out.push_back('{');
  auto a = base.begin();
  auto b = overrides.begin();
  bool first = true;
  while (a != base.end() || b != overrides.end()) {
    const json::Member* m = nullptr;
    if (b == overrides.end() || (a != base.end() && a->first < b->first)) {
      m = &*a++;
    } else {
      if (a != base.end() && a->first == b->first) ++a;
      m = &*b++;
    }
    if (!first) out.push_back(',');
    first = false;
    json::write_string(m->first, out);
    out.push_back(':');
    json::write(m->second, out);
  }
  out.push_back('}');
  return out;
}

std::optional<std::string> id_text(const json::Value* v) {
  if (v == nullptr) return std::nullopt;
  switch (v->type()) {
    case json::Value::Type::String:
      if (v->as_string().empty()) return std::nullopt;
      return v->as_string();
    case json::Value::Type::UInt:
      if (v->as_uint() > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
      return std::to_string(v->as_uint());
    case json::Value::Type::Int: return std::to_string(v->as_int());
    default: return std::nullopt;
  }
}

}  // namespace vyr::extract
