// How far one instrument's price may move, all else held, before the account
// could reach maintenance: the prices at which a tick that books nothing may
// skip the margin check because its verdict is already known.
//
// The range is a proof, not an estimate.  Within prices where every leg of
// the holding stays in one bracket of its tier table, equity is a straight
// line in the price and each leg's maintenance the larger of 0 and a straight
// line, so equity less maintenance is concave there: above a margin at both
// ends of a stretch, it is above it everywhere between.  The margin absorbs
// the unit each leg's truncated maintenance may stray from its line, and the
// range is only offered while no sum or product on the way could saturate,
// where the lines would bend.  A price outside the range says nothing; the
// kernel then runs the full check, as it did before the range existed.
//
// An inverse holding's equity is no straight line in its price; its range
// rests on monotony instead (see inverse_range), and is offered only for a
// holding with one leg.
//
// Thread-safety: pure functions of the state they are given.

#pragma once

#include <cstddef>
#include <cstdint>

#include "core/account.hpp"

namespace halvorn::core {

// A closed range of prices.
struct PriceRange {
  std::int64_t lo = 0;
  std::int64_t hi = -1;  // empty until set

  bool contains(std::int64_t price) const { return lo <= price && price <= hi; }
};

// The prices of holding `index` around `price` at which the account is above
// maintenance, every other holding at its own price and everything else as
// it stands.
// Requires: the account was found above maintenance with holding `index` at
// `price`; the range holds at least `price` then, since the same inputs give
// the same verdict.
PriceRange healthy_range(const State& state, std::size_t index, std::int64_t price);

}  // namespace halvorn::core
