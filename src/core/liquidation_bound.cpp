#include "core/liquidation_bound.hpp"

#include <algorithm>
#include <array>

namespace halvorn::core {

namespace {

// Every term of the account's equity and maintenance stays below this, and an
// account of at most MOST_HOLDINGS holdings sums at most 33 of them, so no
// sum on the way saturates and every line stays straight.  2^57 Cash is over
// a billion currency units: no real account is refused the shortcut.
constexpr Wide TAME = Wide{1} << 57;
constexpr std::size_t MOST_HOLDINGS = 16;
// Each of the holding's two legs may ask one unit more or less than its
// line, so an account more than this above maintenance at both ends of a
// stretch is above the lines there, and so above maintenance between them.
constexpr Wide SLACK = 4;
// Guesses tried on each side before settling for the price itself.
constexpr int TRIES = 8;

bool within(Wide v) { return v < TAME && v > -TAME; }

// Whether the leg's value, profit and maintenance terms at price are tame,
// and the bracket it is in there.
bool tame_leg(const Holding& h, Leg leg, std::int64_t price, const margin::Bracket*& bracket) {
  const QtyLots size = h.size(leg);
  bracket = nullptr;
  if (size == 0) return true;
  const Wide notional = value128(price, abs_sat(size), h.contract_size);
  const Wide cost = h.cost(leg);
  if (!within(notional) || !within(cost) || !within(notional - cost)) return false;
  bracket = &h.tiers.bracket_of(static_cast<Cash>(notional));
  return within(notional * bracket->rate / RATE_SCALE) && within(bracket->amount);
}

// The account at one price of holding `index`: whether every term is tame
// there, the brackets of the holding's legs, and equity less maintenance.
struct Probe {
  bool tame = false;
  std::array<const margin::Bracket*, 2> brackets{nullptr, nullptr};
  Wide headroom = 0;
};

Probe probe(const State& state, std::size_t index, std::int64_t price) {
  Probe p;
  if (!within(state.balance())) return p;
  for (std::size_t i = 0; i < state.holdings.size(); ++i) {
    const Holding& h = state.holdings[i];
    const std::int64_t at = i == index ? price : h.last;
    std::array<const margin::Bracket*, 2> own{};
    if (!tame_leg(h, Leg::Long, at, own[0]) || !tame_leg(h, Leg::Short, at, own[1])) return p;
    if (i == index) p.brackets = own;
  }
  const Marked m = state.marked_at(index, price);
  p.tame = true;
  p.headroom = static_cast<Wide>(m.equity) - m.maintenance;
  return p;
}

// The farthest price from `from` towards `toward` (exclusive of neither)
// proven above maintenance, given the probe at `from`; `from` itself when
// nothing farther is.
std::int64_t reach(const State& state, std::size_t index, std::int64_t from, const Probe& start,
                   std::int64_t toward) {
  Wide step = static_cast<Wide>(toward) - from;
  for (int i = 0; i < TRIES && step != 0; ++i) {
    const auto to = static_cast<std::int64_t>(from + step);
    const Probe p = probe(state, index, to);
    const bool same = p.tame && p.brackets == start.brackets;
    if (same && p.headroom > SLACK) return to;
    // Concave between the two: the chord's crossing of the margin is a good
    // next guess, and the probe there proves it or not.
    Wide next = step / 2;
    if (same && start.headroom > p.headroom) {
      const Wide chord = step * (start.headroom - SLACK - 1) / (start.headroom - p.headroom);
      if ((chord < 0 ? -chord : chord) < (next < 0 ? -next : next)) next = chord;
    }
    step = next;
  }
  return from;
}

// The range of an inverse holding.  Its value goes as 1 / price, rounded,
// so equity less maintenance is no straight line and, for a short, not
// concave either; but for a holding with one leg it is monotone, which is
// what the range rests on.
//
// A long: as its price falls, the value the leg is marked at (rounded up)
// only grows, each unit of it costs equity a unit, and maintenance, while
// no bracket's rate is negative and the table never asks less of a larger
// position, only grows with it.  Healthy at a price, the account is
// healthy at every price above it, so one healthy probe below proves all
// prices from there up.
//
// A short: as its price falls, its value (rounded down) only grows, each
// unit of it adds a unit of equity, and under one bracket whose rate is
// below 100 % maintenance grows by at most that unit.  Healthy at a price,
// the account is healthy at every lower price its value stays in the
// bracket, and a healthy probe above, in the same bracket, proves the
// prices between.
//
// Hedge legs on both sides take the full check.
PriceRange inverse_range(const State& state, std::size_t index, std::int64_t price) {
  PriceRange range{price, price};
  const Holding& h = state.holdings[index];
  const QtyLots size = h.short_size == 0 ? h.long_size : h.long_size == 0 ? h.short_size : 0;
  if (size == 0) return range;
  auto healthy = [&](std::int64_t at) {
    const Marked m = state.marked_at(index, at);
    return m.equity > m.maintenance;
  };
  if (size > 0) {
    if (!h.tiers.rates_nonnegative() || h.tiers.first_falling_bracket()) return range;
    range.hi = I64_MAX;
    std::int64_t step = price / 4;
    for (int i = 0; i < TRIES && step > 0; ++i) {
      const std::int64_t at = range.lo - step;
      if (at >= 1 && healthy(at)) {
        range.lo = at;
      } else {
        step /= 2;
      }
    }
    return range;
  }
  const margin::Contract contract = h.contract();
  const margin::Bracket& b = h.tiers.bracket_of(contract.notional(price, size));
  if (b.rate < 0 || b.rate >= RATE_SCALE) return range;
  // The lowest price at which the leg's value, |size| x numerator / (p x
  // denominator) rounded down, is still at most b's up_to.
  if (b.up_to < I64_MAX) {
    const Wide worth = static_cast<Wide>(abs_sat(size)) * h.inverse.numerator;
    const Wide lowest = worth / (static_cast<Wide>(b.up_to + 1) * h.inverse.denominator) + 1;
    range.lo = static_cast<std::int64_t>(std::min<Wide>(lowest, price));
  } else {
    range.lo = 1;
  }
  std::int64_t step = std::min(price, I64_MAX - price) / 4;
  for (int i = 0; i < TRIES && step > 0; ++i) {
    const std::int64_t at = range.hi + step;
    if (&h.tiers.bracket_of(contract.notional(at, size)) == &b && healthy(at)) {
      range.hi = at;
    } else {
      step /= 2;
    }
  }
  return range;
}

}  // namespace

PriceRange healthy_range(const State& state, std::size_t index, std::int64_t price) {
  PriceRange range{price, price};
  // Wallets are tested apart; the terms below sum one account.
  if (state.holdings.size() > MOST_HOLDINGS || price < 1 || state.wallets) return range;
  if (state.holdings[index].inverse.inverse()) return inverse_range(state, index, price);
  // The terms above are proven tame for linear values only: beside an
  // inverse holding, the full check.
  if (std::any_of(state.holdings.begin(), state.holdings.end(),
                  [](const Holding& h) { return h.inverse.inverse(); })) {
    return range;
  }
  const Probe start = probe(state, index, price);
  if (!start.tame || start.headroom <= SLACK) return range;
  // Guesses within a factor of four of the price: a tick that moves it
  // farther is rare enough to pay for the full check.
  const std::int64_t down = std::max<std::int64_t>(1, price / 4);
  const std::int64_t up = price > I64_MAX / 4 ? I64_MAX : price * 4;
  range.lo = reach(state, index, price, start, down);
  range.hi = reach(state, index, price, start, up);
  return range;
}

}  // namespace halvorn::core
