#include "core/account.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/cost.hpp"

namespace halvorn::core {

namespace {

// The settlement balance's own slot, created (once, at zero) when missing.
Cash& settlement(Balances& balances, Currency currency) {
  for (;;) {
    for (auto& [code, amount] : balances.entries) {
      if (code == currency) return amount;
    }
    balances.add(currency, 0);
  }
}

// e plus each non-zero leg's unrealised profit at price, in the order equity
// adds them (saturation makes the order part of the result).
Cash add_unrealized(Cash e, const Holding& h, std::int64_t price) {
  // A flat leg adds nothing; most ticks of most runs find the account flat.
  if (h.long_size != 0) e = add_sat(e, h.unrealized(Leg::Long, price));
  if (h.short_size != 0) e = add_sat(e, h.unrealized(Leg::Short, price));
  return e;
}

Cash add_maintenance(Cash m, const Holding& h, std::int64_t price) {
  const margin::Contract contract = h.contract();
  for (QtyLots size : {h.long_size, h.short_size}) {
    if (size != 0) m = add_sat(m, h.tiers.maintenance(contract, price, size));
  }
  return m;
}

}  // namespace

Holding::Holding(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
                 Matcher matcher)
    : matcher(std::move(matcher)),
      tiers(std::move(tiers)),
      contract_size(contract_size),
      instrument(instrument) {}

Wide Holding::cost(Leg leg) const {
  const QtyLots n = size(leg);
  if (n == 0) return 0;
  const CostBasis& stored = leg == Leg::Long ? long_cost : short_cost;
  const std::int64_t e = entry(leg);
  if (stored.size == n && stored.entry == e) return stored.value;
  // Valued as the fills that opened the leg were: a long bought, a short sold.
  return contract().value(e, n, margin::rounding_of_buy(n > 0));
}

void Holding::add_to_leg(Leg leg, int direction, QtyLots lots, std::int64_t price) {
  const QtyLots held = abs_sat(size(leg));
  const Wide basis = cost(leg);
  const QtyLots total = add_sat(held, lots);
  const Wide new_basis =
      add_sat128(basis, contract().value(price, lots, margin::rounding_of_buy(direction > 0)));
  std::int64_t new_entry;
  if (inverse.inverse()) {
    // total lots are worth the basis at total x numerator / (basis x
    // denominator) ticks; a basis of 0 (lots worth less than a unit) has no
    // such price, and the fill's own stands.
    const Wide worth = static_cast<Wide>(total) * inverse.numerator;
    const Wide per = mul_sat128(new_basis, inverse.denominator);
    new_entry = per <= 0 ? price : clamp64(worth / per);
  } else {
    const Wide denominator = static_cast<Wide>(contract_size) * total;
    new_entry = denominator <= 0 ? price : clamp64(new_basis / denominator);
  }
  const QtyLots new_size = mul_checked(direction, total, "position size overflows");
  QtyLots& sz = leg == Leg::Long ? long_size : short_size;
  std::int64_t& en = leg == Leg::Long ? long_entry : short_entry;
  sz = new_size;
  en = new_entry;
  (leg == Leg::Long ? long_cost : short_cost) = CostBasis{new_basis, new_size, new_entry};
}

Cash Holding::close_leg(Leg leg, QtyLots qty, std::int64_t price) {
  const QtyLots m = size(leg);
  if (m == 0) return 0;
  const Wide basis = cost(leg);
  const QtyLots c = std::min(abs_sat(m), qty);
  // Closing a long sells, closing a short buys.
  const Wide exit_value = contract().value(price, c, margin::rounding_of_buy(m < 0));
  // An inverse leg profits as the linear leg of the other direction would:
  // its basis share less its exit value.
  const cost::Closed closed = cost::close(basis, inverse.inverse() ? neg_sat(m) : m, c, exit_value);
  const QtyLots new_size = sub_checked(m, mul_checked(m > 0 ? 1 : -1, c, "position size overflows"),
                                       "position size overflows");
  QtyLots& sz = leg == Leg::Long ? long_size : short_size;
  std::int64_t& en = leg == Leg::Long ? long_entry : short_entry;
  sz = new_size;
  if (new_size == 0) en = 0;
  (leg == Leg::Long ? long_cost : short_cost) = CostBasis{closed.remaining, new_size, en};
  return closed.profit;
}

Cash Holding::unrealized(Leg leg, std::int64_t price) const {
  return contract().unrealized_from_cost(cost(leg), price, size(leg));
}

void Holding::flatten() {
  long_size = short_size = 0;
  long_entry = short_entry = 0;
  long_cost = short_cost = CostBasis{};
}

State State::create(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
                    Cash balance) {
  return create(instrument, contract_size, std::move(tiers), balance,
                Tier::matcher(Tier{}, instrument));
}

State State::create(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
                    Cash balance, Matcher matcher) {
  if (matcher.instrument() != instrument) {
    panic(
        "assertion `left == right` failed: matcher is for a different instrument than the state "
        "it is going into\n  left: " +
        to_string(matcher.instrument()) + "\n right: " + to_string(instrument));
  }
  State state;
  state.holdings.emplace_back(instrument, contract_size, std::move(tiers), std::move(matcher));
  state.balances = Balances::of(USDT, balance);
  return state;
}

State State::matching_with(State state, Matcher matcher) {
  if (state.holdings.empty()) panic("a state without holdings has no place for a matcher");
  Holding& first = state.holdings.front();
  if (matcher.instrument() != first.instrument) {
    panic(
        "assertion `left == right` failed: matcher is for a different instrument than the state "
        "it is going into\n  left: " +
        to_string(matcher.instrument()) + "\n right: " + to_string(first.instrument));
  }
  first.matcher = std::move(matcher);
  return state;
}

Cash State::balance() const {
  // An account holds one or two currencies; a scan comparing the codes as
  // integers beats the ordered search on the per-tick margin check.
  for (const auto& [code, amount] : balances.entries) {
    if (code == currency) return amount;
  }
  return 0;
}

void State::credit(Cash amount) { balances.add(currency, amount); }

Cash State::balance_in(Currency wallet) const {
  for (const auto& [code, amount] : balances.entries) {
    if (code == wallet) return amount;
  }
  return 0;
}

Cash State::valued(Currency wallet, Cash amount) const {
  if (wallet == currency) return amount;
  for (const Holding& h : holdings) {
    if (h.currency == wallet) return h.tick_worth.in_usd(amount, h.valuation_price());
  }
  return 0;  // a wallet no instrument settles in has no price
}

Cash State::cash() const {
  if (!wallets) return balance();
  Cash c = 0;
  for (const auto& [code, amount] : balances.entries) c = add_sat(c, valued(code, amount));
  return c;
}

Marked State::wallet_marked(Currency wallet, std::optional<std::pair<std::size_t, std::int64_t>> at,
                            bool with_maintenance) const {
  Marked m{balance_in(wallet), 0};
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    const Holding& h = holdings[i];
    if (h.currency != wallet) continue;
    const std::int64_t p = at && at->first == i ? at->second : h.last;
    m.equity = add_unrealized(m.equity, h, p);
    if (with_maintenance) m.maintenance = add_maintenance(m.maintenance, h, p);
  }
  return m;
}

Cash fill_fee(const Fill& fill, const margin::Contract& contract,
              const std::array<std::int64_t, 2>& rates) {
  const Cash notional = clamp64(fill_value(fill, contract));
  return apply_rate(notional, rates[fill.taker ? 1 : 0]);
}

void State::charge_fee(Cash fee) {
  fees = add_sat(fees, fee);
  credit(neg_sat(fee));
}

void State::apply_fill(const Fill& fill) {
  auto it = std::find_if(holdings.begin(), holdings.end(),
                         [&](const Holding& h) { return h.instrument == fill.instrument; });
  if (it == holdings.end()) panic("a fill for an instrument this account does not hold");
  Holding& h = *it;
  auto realize = [this, &h, &fill](Cash profit) {
    realized = add_sat(realized, wallets ? in_account(h, profit, fill.price) : profit);
    h.realized = add_sat(h.realized, profit);
    credit(h.currency, profit);
  };

  if (hedge) {
    if (fill.offset == Offset::Close) {
      // A close larger than its leg closes the leg; the excess books nothing.
      realize(h.close_leg(fill.side == Side::Buy ? Leg::Short : Leg::Long, fill.qty, fill.price));
    } else if (fill.qty != 0) {
      if (fill.side == Side::Buy) {
        h.add_to_leg(Leg::Long, 1, fill.qty, fill.price);
      } else {
        h.add_to_leg(Leg::Short, -1, fill.qty, fill.price);
      }
    }
    return;
  }

  // Net mode: the offset does not matter; a fill against the position reduces
  // it and whatever is left over opens the other way.
  const QtyLots s = signed_qty(fill.side, fill.qty);
  const QtyLots p = h.long_size;
  const int direction = s > 0 ? 1 : -1;
  QtyLots open = abs_sat(s);
  if (p != 0 && s != 0 && (p > 0) != (s > 0)) {
    const QtyLots closing = std::min(abs_sat(p), abs_sat(s));
    realize(h.close_leg(Leg::Long, closing, fill.price));
    open -= closing;
  }
  if (open > 0) h.add_to_leg(Leg::Long, direction, open, fill.price);
}

Cash State::equity() const {
  if (wallets) {
    Cash e = 0;
    for (const auto& [code, amount] : balances.entries) {
      e = add_sat(e, valued(code, wallet_marked(code, std::nullopt, false).equity));
    }
    return e;
  }
  Cash e = balance();
  for (const Holding& h : holdings) e = add_unrealized(e, h, h.last);
  return e;
}

Cash State::maintenance() const {
  if (wallets) {
    Cash m = 0;
    for (const auto& [code, amount] : balances.entries) {
      m = add_sat(m, valued(code, wallet_marked(code).maintenance));
    }
    return m;
  }
  Cash m = 0;
  for (const Holding& h : holdings) m = add_maintenance(m, h, h.last);
  return m;
}

Marked State::marked_at(std::size_t index, std::int64_t price, bool with_maintenance) const {
  if (wallets) {
    return wallet_marked(holdings[index].currency, std::pair{index, price}, with_maintenance);
  }
  Marked m{balance(), 0};
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    const Holding& h = holdings[i];
    const std::int64_t p = i == index ? price : h.last;
    m.equity = add_unrealized(m.equity, h, p);
    if (with_maintenance) m.maintenance = add_maintenance(m.maintenance, h, p);
  }
  return m;
}

output::Liquidated State::liquidate_holding(std::size_t index, std::int64_t price) {
  Holding& h = holdings[index];
  const Cash profit = add_sat(h.unrealized(Leg::Long, price), h.unrealized(Leg::Short, price));
  realized = add_sat(realized, wallets ? in_account(h, profit, price) : profit);
  h.realized = add_sat(h.realized, profit);
  credit(h.currency, profit);
  const QtyLots long_size = h.long_size;
  const QtyLots short_size = h.short_size;
  const QtyLots quantity = add_checked(long_size, short_size, "liquidated quantity overflows");
  h.flatten();
  h.matcher.cancel_all();
  return output::Liquidated{h.instrument,           time,    price,     quantity,
                            balance_in(h.currency), Cash{0}, long_size, short_size};
}

void State::close_all(std::vector<Output>& out,
                      std::optional<std::pair<std::size_t, std::int64_t>> at,
                      std::optional<Currency> wallet) {
  for (std::size_t i = 0; i < holdings.size(); ++i) {
    Holding& h = holdings[i];
    if (wallet && h.currency != *wallet) continue;
    if (h.is_flat()) {
      // Nothing to value out, but its orders go with the account: one left
      // working would fill on a balance the venue has just taken.
      h.matcher.cancel_all();
      continue;
    }
    const std::int64_t price = at && at->first == i ? at->second
                               : h.last != 0        ? h.last
                                                    : h.long_entry;
    out.emplace_back(liquidate_holding(i, price));
  }
}

Cash State::write_off(Currency wallet) {
  Cash& slot = settlement(balances, wallet);
  const Cash written_off = slot;
  // Setting the balance, rather than adding its negation, is what makes it
  // exactly 0 also when it is the smallest Cash value, whose negation
  // saturates one short.
  slot = 0;
  forfeited = add_sat(forfeited, wallets ? valued(wallet, written_off) : written_off);
  return written_off;
}

}  // namespace halvorn::core
