#include "query/locate.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define VYR_LOCATE_WIDE 1
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vyr::query {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Bit masks of one 64-byte block, bit i for byte i.
struct BlockMasks {
  uint64_t quote = 0, backslash = 0, open = 0, close = 0;
  uint64_t first = 0;  // bytes equal to the first byte of a wanted name
};

// The distinct first bytes of the wanted names.
struct FirstBytes {
  char c[4] = {};
  int n = 0;
};

#if defined(__SSE2__)
uint64_t mask16(__m128i x, __m128i c) { return static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, c))); }
#endif

inline BlockMasks masks_of(const char* p, const FirstBytes& firsts) {
  BlockMasks m;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  // '{' and '[' differ only in the 0x20 bit, as do '}' and ']'.
  const __m128i case_bit = _mm_set1_epi8(0x20), open = _mm_set1_epi8('{'), close = _mm_set1_epi8('}');
  const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  const auto gather = [&](__m128i c, bool fold) {
    const auto f = [&](__m128i x) { return fold ? _mm_or_si128(x, case_bit) : x; };
    return mask16(f(x0), c) | mask16(f(x1), c) << 16 | mask16(f(x2), c) << 32 | mask16(f(x3), c) << 48;
  };
  m.quote = gather(quote, false);
  m.backslash = gather(backslash, false);
  m.open = gather(open, true);
  m.close = gather(close, true);
  for (int k = 0; k < firsts.n; ++k) m.first |= gather(_mm_set1_epi8(firsts.c[k]), false);
#else
  for (int i = 0; i < 64; ++i) {
    const uint64_t bit = uint64_t{1} << i;
    switch (p[i]) {
      case '"': m.quote |= bit; break;
      case '\\': m.backslash |= bit; break;
      case '{': case '[': m.open |= bit; break;
      case '}': case ']': m.close |= bit; break;
      default: break;
    }
    for (int k = 0; k < firsts.n; ++k)
      if (p[i] == firsts.c[k]) m.first |= bit;
  }
#endif
  return m;
}

#if defined(VYR_LOCATE_WIDE)
// The same masks with 32-byte vectors, on processors that have them.
[[gnu::target("avx2"), gnu::always_inline]] inline BlockMasks masks_of_avx2(const char* p, const FirstBytes& firsts) {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const __m256i case_bit = _mm256_set1_epi8(0x20);
  const __m256i lo_folded = _mm256_or_si256(lo, case_bit), hi_folded = _mm256_or_si256(hi, case_bit);
#define VYR_MASK64(a, b, c)                                                                                  \
  (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(a, _mm256_set1_epi8(c))))) | \
   static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(b, _mm256_set1_epi8(c))))) << 32)
  BlockMasks m;
  m.quote = VYR_MASK64(lo, hi, '"');
  m.backslash = VYR_MASK64(lo, hi, '\\');
  m.open = VYR_MASK64(lo_folded, hi_folded, '{');
  m.close = VYR_MASK64(lo_folded, hi_folded, '}');
  for (int k = 0; k < firsts.n; ++k) m.first |= VYR_MASK64(lo, hi, firsts.c[k]);
#undef VYR_MASK64
  return m;
}

// And with 64-byte vectors, whose comparisons give the masks directly.
[[gnu::target("avx512bw"), gnu::always_inline]] inline BlockMasks masks_of_avx512(const char* p,
                                                                                const FirstBytes& firsts) {
  const __m512i x = _mm512_loadu_si512(p);
  const __m512i folded = _mm512_or_si512(x, _mm512_set1_epi8(0x20));
  BlockMasks m;
  m.quote = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('"'));
  m.backslash = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\\'));
  m.open = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('{'));
  m.close = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('}'));
  for (int k = 0; k < firsts.n; ++k) m.first |= _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(firsts.c[k]));
  return m;
}

// Read during static initialization, so the feature table is filled first.
const VectorWidth WIDEST = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512bw") ? VectorWidth::Bits512
         : __builtin_cpu_supports("avx2")   ? VectorWidth::Bits256
                                            : VectorWidth::Bits128;
}();
#endif

// Commas of the 64 bytes at p (fewer at the text's end), needed only where
// every member name is read.
uint64_t commas_at(const char* p, size_t avail) {
  uint64_t m = 0;
  const size_t n = avail < 64 ? avail : 64;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(',');
  for (; i + 16 <= n; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    m |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, comma)))) << i;
  }
#endif
  for (; i < n; ++i)
    if (p[i] == ',') m |= uint64_t{1} << i;
  return m;
}

// The characters escaped by a backslash: the one after each backslash that
// is not itself escaped. `carry` tells whether the previous block ended in
// an escaping backslash, and is updated for the next one.
uint64_t escaped_bits(uint64_t backslash, uint64_t& carry) {
  uint64_t escaped = 0;
  if (carry) {
    escaped = 1;
    backslash &= ~uint64_t{1};
    carry = 0;
  }
  while (backslash) {
    const int i = __builtin_ctzll(backslash);
    backslash &= backslash - 1;
    if (i == 63) {
      carry = 1;
      break;
    }
    escaped |= uint64_t{1} << (i + 1);
    backslash &= ~(uint64_t{1} << (i + 1));
  }
  return escaped;
}

// Bit i set when an odd number of bits at or below i are set in x.
[[gnu::always_inline]] inline uint64_t prefix_xor(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

// Stage one: the masks of every 64-byte block of a text, the last block
// padded with blanks; returns whether any block holds a backslash. Written
// once for both instruction sets: the vector code must be expanded inside a
// function compiled for the wider one.
#define VYR_FILL_MASKS(masks_of_block)                                \
  const char* data = text.data();                                     \
  const size_t n = text.size();                                       \
  uint64_t backslash = 0;                                             \
  size_t b = 0;                                                       \
  for (; (b + 1) * 64 <= n; ++b) {                                    \
    out[b] = masks_of_block(data + b * 64, firsts);                   \
    backslash |= out[b].backslash;                                    \
  }                                                                   \
  if (b * 64 < n) {                                                   \
    char tail[64];                                                    \
    std::memset(tail, ' ', sizeof tail);                              \
    std::memcpy(tail, data + b * 64, n - b * 64);                     \
    out[b] = masks_of_block(tail, firsts);                            \
    backslash |= out[b].backslash;                                    \
  }                                                                   \
  return backslash != 0;

bool fill_masks_generic(std::string_view text, const FirstBytes& firsts, BlockMasks* out) {
  VYR_FILL_MASKS(masks_of)
}

#if defined(VYR_LOCATE_WIDE)
[[gnu::target("avx2")]] bool fill_masks_avx2(std::string_view text, const FirstBytes& firsts, BlockMasks* out) {
  VYR_FILL_MASKS(masks_of_avx2)
}

[[gnu::target("avx512bw")]] bool fill_masks_avx512(std::string_view text, const FirstBytes& firsts,
                                                     BlockMasks* out) {
  VYR_FILL_MASKS(masks_of_avx512)
}
#endif

#undef VYR_FILL_MASKS

class Locator {
 public:
  Locator(std::string_view text, std::span<const std::string_view> keys, MemberSpan* out, VectorWidth width)
      : text_(text), keys_(keys), out_(out), width_(width) {}

  bool run() {
    const char* data = text_.data();
    const size_t n = text_.size();
    size_t start = 0;
    while (start < n && is_blank(data[start])) ++start;
    if (start == n || data[start] != '{') return false;
    // Without a backslash in the text, a member name is its raw bytes, so
    // only quotes followed by a wanted name's first byte need a look, and a
    // wanted value's end is found from its first byte (or, for a container,
    // from the bracket that closes it). Otherwise every member is read, from
    // comma to comma, and names with escapes make the search give up.
    FirstBytes firsts;
    bool plain = true;
    for (std::string_view k : keys_) {
      bool seen = false;
      for (int i = 0; i < firsts.n; ++i) seen = seen || firsts.c[i] == k[0];
      if (seen) continue;
      if (firsts.n == 4) {
        plain = false;
        break;
      }
      firsts.c[firsts.n++] = k[0];
    }
    if (!plain) firsts.n = 0;
    thread_local std::vector<BlockMasks> masks;
    const size_t blocks = (n + 63) / 64;
    if (masks.size() < blocks) masks.resize(blocks);
#if defined(VYR_LOCATE_WIDE)
    const bool backslash = width_ == VectorWidth::Bits512 ? fill_masks_avx512(text_, firsts, masks.data())
                           : width_ == VectorWidth::Bits256 ? fill_masks_avx2(text_, firsts, masks.data())
                                                            : fill_masks_generic(text_, firsts, masks.data());
#else
    const bool backslash = fill_masks_generic(text_, firsts, masks.data());
#endif
    // The buffer follows the largest text seen; a huge one is not kept.
    const bool ok = walk(masks.data(), blocks, plain && !backslash, firsts);
    if (masks.size() > (size_t{1} << 16)) std::vector<BlockMasks>().swap(masks);
    return ok;
  }

 private:
  // Stage two: the members, from the masks.
  bool walk(const BlockMasks* masks, size_t blocks, bool plain, const FirstBytes& firsts) {
    const char* data = text_.data();
    const size_t n = text_.size();
    uint64_t in_string = 0;  // all ones while a string runs on from the previous block
    uint64_t escape_carry = 0;
    for (size_t blk = 0; blk < blocks; ++blk) {
      const size_t base = blk * 64;
      BlockMasks m = masks[blk];
      if (m.backslash | escape_carry) m.quote &= ~escaped_bits(m.backslash, escape_carry);
      const uint64_t strings = prefix_xor(m.quote) ^ in_string;
      in_string = static_cast<uint64_t>(static_cast<int64_t>(strings) >> 63);
      const uint64_t brackets = (m.open | m.close) & ~strings;
      if (depth_ > 1 && brackets == 0) continue;  // deep inside a nested value
      const uint64_t commas = plain ? 0 : commas_at(data + base, n - base) & ~strings;
      const uint64_t open = m.open & ~strings;
      uint64_t names = 0;
      if (plain) {
        const uint64_t opening = m.quote & strings;
        names = opening & (m.first >> 1);
        if ((opening >> 63) && base + 64 < n) {
          for (int k = 0; k < firsts.n; ++k)
            if (data[base + 64] == firsts.c[k]) names |= uint64_t{1} << 63;
        }
      }
      const auto pending = [&](uint64_t above) {
        return (brackets | names | (depth_ == 1 ? commas : 0)) & above;
      };
      uint64_t from = ~uint64_t{0};  // the positions the event walk below takes
      if (plain && current_ < 0) {
        // The depth at a name is the depth at the block's start plus the
        // brackets opened and less those closed before it, so a plain text
        // needs no walk from bracket to bracket: only a wanted value that is
        // itself an object or array, or the object's own closing brace, is
        // walked to.
        const uint64_t close = brackets & ~open;
        bool walk = false;
        for (uint64_t todo = names; todo; todo &= todo - 1) {
          const int i = __builtin_ctzll(todo);
          const uint64_t below = (uint64_t{1} << i) - 1;
          const int d = depth_ + __builtin_popcountll(open & below) - __builtin_popcountll(close & below);
          if (d != 1) continue;
          if (!plain_name(base + static_cast<size_t>(i) + 1)) return false;
          if (current_ >= 0) {
            depth_ = d;
            from = i == 63 ? 0 : ~uint64_t{0} << (i + 1);
            walk = true;
            break;
          }
        }
        if (!walk) {
          const int after = depth_ + __builtin_popcountll(open) - __builtin_popcountll(close);
          if (after > 0) {
            depth_ = after;
            continue;
          }
        }
      }
      uint64_t events = pending(from);
      while (events) {
        const int i = __builtin_ctzll(events);
        const uint64_t bit = uint64_t{1} << i;
        const size_t pos = base + static_cast<size_t>(i);
        if (open & bit) {
          if (++depth_ == 1 && !plain && !member_start(pos + 1, true)) return false;
        } else if (brackets & bit) {
          if (depth_ == 0) return false;
          --depth_;
          if (depth_ == 0) return (plain || member_end(pos)) && only_blanks_after(pos + 1);
          if (depth_ == 1 && plain && current_ >= 0 && !member_end(pos + 1)) return false;
        } else if (names & bit) {
          if (depth_ == 1 && current_ < 0 && !plain_name(pos + 1)) return false;
        } else {
          if (!member_end(pos) || !member_start(pos + 1, false)) return false;
        }
        events = pending(i == 63 ? 0 : ~uint64_t{0} << (i + 1));
      }
    }
    return false;  // the object never closed
  }

  // Just after the object's '{' or a comma at depth one: reads the member's
  // name and colon and notes where its value starts.
  bool member_start(size_t p, bool first) {
    const char* data = text_.data();
    const size_t n = text_.size();
    current_ = NO_MEMBER;
    while (p < n && is_blank(data[p])) ++p;
    if (p == n) return false;
    if (first && data[p] == '}') return true;  // the empty object
    if (data[p] != '"') return false;
    const size_t name = ++p;
    p = name_end(p);
    if (p >= n || data[p] != '"') return false;
    const std::string_view key(data + name, p - name);
    ++p;
    while (p < n && is_blank(data[p])) ++p;
    if (p == n || data[p] != ':') return false;
    ++p;
    while (p < n && is_blank(data[p])) ++p;
    value_start_ = p;
    current_ = OTHER_MEMBER;
    for (size_t k = 0; k < keys_.size(); ++k) {
      if (keys_[k] == key) {
        current_ = static_cast<int>(k);
        break;
      }
    }
    return true;
  }

  // At the first byte after a quote that opens a string at depth one, in a
  // text without backslashes: when the string is a wanted name followed by
  // a colon, notes where the member's value starts. (A string that is a
  // value is followed by a comma or a brace instead.)
  bool plain_name(size_t name) {
    const char* data = text_.data();
    const size_t n = text_.size();
    for (size_t k = 0; k < keys_.size(); ++k) {
      const std::string_view key = keys_[k];
      if (n - name <= key.size() || data[name + key.size()] != '"' || std::memcmp(data + name, key.data(), key.size()) != 0)
        continue;
      size_t p = name + key.size() + 1;
      while (p < n && is_blank(data[p])) ++p;
      if (p == n || data[p] != ':') return true;
      ++p;
      while (p < n && is_blank(data[p])) ++p;
      if (p == n || data[p] == ',' || data[p] == '}' || data[p] == ']') return false;
      if (data[p] == '{' || data[p] == '[') {
        // Ends with the bracket that brings the depth back to one.
        value_start_ = p;
        current_ = static_cast<int>(k);
        return true;
      }
      size_t end = p + 1;
      if (data[p] == '"') {
        const void* close = std::memchr(data + end, '"', n - end);
        if (!close) return false;
        end = static_cast<size_t>(static_cast<const char*>(close) - data) + 1;
      } else {
        while (end < n && data[end] != ',' && data[end] != '}' && data[end] != ']' && !is_blank(data[end])) ++end;
      }
      out_[k] = {static_cast<uint32_t>(p), static_cast<uint32_t>(end - p), true};
      return true;
    }
    return true;
  }

  // The position of the quote that closes a member name starting at p, or
  // of a backslash in it (names with escapes are left to the strict reader,
  // which decodes them), or the text's end.
  size_t name_end(size_t p) const {
    const char* data = text_.data();
    const size_t n = text_.size();
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    while (p + 16 <= n) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
      const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)));
      if (hits) return p + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
      p += 16;
    }
#endif
    while (p < n && data[p] != '"' && data[p] != '\\') ++p;
    return p;
  }

  // At the comma or brace that ends the current member.
  bool member_end(size_t p) {
    if (current_ < 0) return true;
    size_t end = p;
    while (end > value_start_ && is_blank(text_[end - 1])) --end;
    if (end == value_start_) return false;
    out_[current_] = {static_cast<uint32_t>(value_start_), static_cast<uint32_t>(end - value_start_), true};
    current_ = NO_MEMBER;
    return true;
  }

  bool only_blanks_after(size_t p) const {
    for (; p < text_.size(); ++p)
      if (!is_blank(text_[p])) return false;
    return true;
  }

  static constexpr int NO_MEMBER = -2;
  static constexpr int OTHER_MEMBER = -1;

  std::string_view text_;
  std::span<const std::string_view> keys_;
  MemberSpan* out_;
  VectorWidth width_;
  int depth_ = 0;
  int current_ = NO_MEMBER;
  size_t value_start_ = 0;
};

}  // namespace

bool locatable_name(std::string_view key) {
  if (key.empty()) return false;
  for (char c : key)
    if (c == '"' || c == '\\') return false;
  return true;
}

VectorWidth widest_vectors() {
#if defined(VYR_LOCATE_WIDE)
  return WIDEST;
#else
  return VectorWidth::Bits128;
#endif
}

bool locate_members(std::string_view text, std::span<const std::string_view> keys, MemberSpan* out,
                    VectorWidth width) {
  for (size_t k = 0; k < keys.size(); ++k) out[k] = MemberSpan{};
  if (text.size() > UINT32_MAX) return false;
  return Locator(text, keys, out, std::min(width, widest_vectors())).run();
}

}  // namespace vyr::query
