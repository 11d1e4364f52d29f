#include "overload.h"

#include <stdint.h>

#include <algorithm>

namespace capecho {
namespace {

uint64_t weight(const room_candidate& c) { return uint64_t{c.idle_ms} * c.source_sessions; }

}  // namespace

size_t choose_sessions_to_end(std::vector<room_candidate>& candidates, size_t wanted,
                              unsigned min_idle_ms) {
  const auto idle_end =
      std::partition(candidates.begin(), candidates.end(),
                     [min_idle_ms](const room_candidate& c) { return c.idle_ms >= min_idle_ms; });
  const size_t chosen = std::min(wanted, static_cast<size_t>(idle_end - candidates.begin()));
  std::partial_sort(
      candidates.begin(), candidates.begin() + static_cast<ptrdiff_t>(chosen), idle_end,
      [](const room_candidate& a, const room_candidate& b) { return weight(a) > weight(b); });
  return chosen;
}

}  // namespace capecho
