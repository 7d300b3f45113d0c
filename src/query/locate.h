// A fast, trusting search for top-level members of a JSON object text.
//
// Checking a node's property text strictly costs a pass over every byte with
// a decision at each one. Most queries only need to know where one or two
// members lie, and for most nodes the answer decides nothing (a filter
// rejects them whatever the rest of the text holds). This search assumes the
// text is well-formed and finds the members with bit masks over 64-byte
// blocks: quotes and backslashes give the string regions, brackets outside
// them the nesting depth, and commas at depth one the member boundaries.
//
// For a well-formed text it reports exactly what a strict reader reports (the
// last member of each name). For any other text it either gives up or
// reports something; the caller must not rely on it until the text has been
// checked strictly.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vyr::query {

// Where a member's value lies in the text: its first byte and its length,
// surrounding blanks excluded.
struct MemberSpan {
  uint32_t off = 0;
  uint32_t len = 0;
  bool found = false;
};

// The vector instructions the search may use; it takes the widest the
// processor has, and tests ask for narrower ones to cover every variant.
enum class VectorWidth : uint8_t { Bits128, Bits256, Bits512 };

VectorWidth widest_vectors();

// Whether a member name can be searched for: one that is not empty and holds
// no quote or backslash (its raw bytes in a text are then the name itself).
bool locatable_name(std::string_view key);

// For each keys[k], the value of the last top-level member named exactly
// keys[k] in `text` (out[k].found false when there is none). Gives up
// (returns false) when the text does not start as an object, when a member
// name holds an escape, or when the structure it sees is broken. Every key
// must be a locatable_name (callers check that once, not per text).
bool locate_members(std::string_view text, std::span<const std::string_view> keys, MemberSpan* out,
                    VectorWidth width = VectorWidth::Bits512);

}  // namespace vyr::query
