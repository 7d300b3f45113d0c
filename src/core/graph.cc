#include "core/graph.h"

#include <array>

namespace vyr {
namespace {

constexpr std::array<std::string_view, NODE_KIND_COUNT> NODE_LABELS = {
    "Product", "Offer", "Brand", "Organization", "Review",
    "AggregateRating", "Category", "Person", "Variant"};

constexpr std::array<std::string_view, REL_TYPE_COUNT> REL_LABELS = {
    "Offers", "Brand", "Manufacturer", "Review", "AggregateRating",
    "IsVariantOf", "Category", "Author", "HasVariant", "BroaderCategory"};

}  // namespace

std::optional<NodeKind> node_kind_from_label(std::string_view text) {
  for (size_t i = 0; i < NODE_LABELS.size(); ++i)
    if (NODE_LABELS[i] == text) return static_cast<NodeKind>(i);
  return std::nullopt;
}

std::optional<RelType> rel_type_from_label(std::string_view text) {
  for (size_t i = 0; i < REL_LABELS.size(); ++i)
    if (REL_LABELS[i] == text) return static_cast<RelType>(i);
  return std::nullopt;
}

std::string_view label(NodeKind kind) {
  auto i = static_cast<size_t>(kind);
  return i < NODE_LABELS.size() ? NODE_LABELS[i] : std::string_view();
}

std::string_view label(RelType rel) {
  auto i = static_cast<size_t>(rel);
  return i < REL_LABELS.size() ? REL_LABELS[i] : std::string_view();
}

}  // namespace vyr
