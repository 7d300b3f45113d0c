// Price-scale detection. A structured price field says 1299 or 12.99 and
// never which unit it means; the page's visible text shows the price the way
// the shopper sees it, next to a currency sign. A PriceScale gathers that
// evidence once per page; each extractor then asks it for a verdict on every
// structured price it reads from the same page and writes the verdict into
// the record's properties.
//
// A PriceScale is built on the extraction thread, then only read: it is safe
// to share between threads once built, and owns all its data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/json.h"
#include "extract/decimal.h"

namespace vyr::extract {

// The decision for one price field.
struct PriceVerdict {
  std::string price;           // major units: "12.99", "12", "1300"
  std::string_view currency;   // the page currency (static text), may be empty
  int64_t cents = 0;           // minor units; 0 when they do not fit
  uint32_t score = 0;          // 0 (a guess), 2 (seen on the page) or 3 (seen twice, or matched a reference)
  uint8_t scale = 2;           // minor-unit digits: 0 for zero-decimal currencies

  // Inserts or replaces "price", "price_cents", "price_scale", "currency"
  // (only when known), "price_confident" and "price_score".
  void write_into(json::Object& props) const;
};

class PriceScale {
 public:
  // No evidence: verdicts score 0 unless a reference amount decides.
  static PriceScale empty() { return PriceScale(); }

  // Amounts shown next to a currency sign in the page's visible text (script
  // and style contents, tags and attribute values excluded), and the page
  // currency read from the raw text. Never fails; any bytes are accepted.
  static PriceScale from_html(std::string_view html);

  // The verdict on `price` (the record's price field; nullptr when absent).
  // `reference` is an amount in major units known to belong to the same
  // record; only the storefront extractor has one. Nothing when the value is
  // absent, neither a string nor a number, or holds no exact decimal.
  std::optional<PriceVerdict> verdict(const json::Value* price,
                                      const std::optional<Decimal>& reference = std::nullopt) const;

  bool has_amounts() const { return !counts_.empty(); }
  bool has_amount(uint64_t amount) const { return counts_.contains(amount); }
  bool is_repeated(uint64_t amount) const;
  size_t amount_count() const { return counts_.size(); }
  // One of the 20 known codes ("USD", "EUR", ...), or empty.
  std::string_view currency() const { return currency_; }

 private:
  // Occurrences per amount: the keys are the page's amounts, those counted
  // twice or more its repeated amounts.
  std::unordered_map<uint64_t, uint32_t> counts_;
  std::string_view currency_;
};

// Whether an element named `name` (ASCII case-insensitive, a prefix match on
// the tag name) opens at page[lt] == '<', and if so the position just after
// its end: its closing tag's ">", or the end of the page when it is never
// closed.
std::optional<size_t> skip_block(std::string_view page, size_t lt, std::string_view name);

// A copy of `record`'s members (an empty object when it is not an object)
// with the verdict on `price` written in when there is one. The record's own
// price member survives unless its key is "price".
json::Object normalized_price_map(const json::Value& record, const json::Value* price, const PriceScale& scale,
                                  const std::optional<Decimal>& reference = std::nullopt);

// The compact JSON text of normalized_price_map.
std::string with_normalized_price(const json::Value& record, const json::Value* price, const PriceScale& scale,
                                  const std::optional<Decimal>& reference = std::nullopt);

}  // namespace vyr::extract
