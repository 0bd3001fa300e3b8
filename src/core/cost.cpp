#include "core/cost.hpp"

namespace halvorn::core::cost {

Closed close(Wide cost, QtyLots m, QtyLots c, Wide exit_value) {
  const Wide n = abs_sat(m);
  if (n == 0) panic("closing a flat leg divides by zero");
  // cost x c / n without an intermediate overflow: |cost mod n| < n and
  // c <= n keep the second product within 126 bits.
  const Wide whole = cost / n;
  const Wide part = cost % n;
  const Wide part_closed = part * c;
  const Wide closed_basis = add_sat128(mul_sat128(whole, c), part_closed / n);
  const Wide d = m > 0 ? 1 : -1;
  Wide profit = mul_sat128(sub_sat128(exit_value, closed_basis), d);
  // An inexact share was truncated toward zero, which for a long overstates
  // the profit and for a short overstates the loss by the fraction; giving up
  // one unit brings the profit back to its truncation toward zero.
  if (part_closed % n != 0) {
    if (d == 1 && profit > 0) profit -= 1;
    if (d == -1 && profit < 0) profit += 1;
  }
  // The basis consistent with the rounded profit, so that the fraction left
  // out of the profit stays in the leg.
  const Wide consistent_basis = sub_sat128(exit_value, mul_sat128(profit, d));
  const Wide remaining = c == n ? 0 : sub_sat128(cost, consistent_basis);
  return Closed{remaining, clamp64(profit)};
}

}  // namespace halvorn::core::cost
