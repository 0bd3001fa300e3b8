// The account: cash, fee and funding totals, and per instrument a holding with
// its long and short legs, their entry prices and their exact cost basis.
//
// Only the kernel changes a State; the margin rules read it.  Money never
// fails: every total and balance accumulates with saturation and every value
// is formed at 128 bits and clamped.  Quantities that overflow are Panics.
//
// Thread-safety: a State is owned by one kernel and used by one thread at a
// time.

#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/event.hpp"
#include "core/matcher.hpp"
#include "margin/tier.hpp"
#include "types/currency.hpp"

namespace halvorn::core {

// One of the two legs of a holding.  In net mode the Long leg carries the one
// signed net position.
enum class Leg : std::uint8_t { Long = 0, Short = 1 };

// A CostBasis is the exact value paid for a leg's current size, stored with
// the (size, entry) the leg had when it was stored.  When the leg no longer
// matches the key (a liquidation zeroed it) the basis is recomputed from the
// entry price.
struct CostBasis {
  Wide value = 0;
  QtyLots size = 0;
  std::int64_t entry = 0;

  friend bool operator==(const CostBasis&, const CostBasis&) = default;
};

// The fee of a fill in a holding of this contract: its value as booked
// (fill_value) at the maker (rates[0]) or taker (rates[1]) rate, truncated
// toward zero.  Negative rates are rebates.
Cash fill_fee(const Fill& fill, const margin::Contract& contract,
              const std::array<std::int64_t, 2>& rates);
inline Cash fill_fee(const Fill& fill, std::int64_t contract_size,
                     const std::array<std::int64_t, 2>& rates) {
  return fill_fee(fill, margin::Contract{contract_size}, rates);
}

// What a fill is worth as the account books it: price x lots x contract
// size for a linear contract; for an inverse one its coin value, rounded
// down for a buy and up for a sell (margin::rounding_of_buy).
inline Wide fill_value(const Fill& fill, const margin::Contract& contract) {
  return contract.value(fill.price, fill.qty, margin::rounding_of_buy(fill.side == Side::Buy));
}

// A Holding is the account's position in one instrument and the matcher that
// executes its orders.
//
// Invariants: a flat leg has entry 0 and cost basis 0; in hedge mode
// long_size >= 0 and short_size <= 0; in net mode short_size is 0.
struct Holding {
  Holding(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
          Matcher matcher);

  CostBasis long_cost;
  CostBasis short_cost;
  Matcher matcher;
  margin::TierTable tiers;
  std::int64_t contract_size = 0;  // Cash value of one tick on one lot
  // An inverse contract's coin value of one lot; empty for a linear one.
  // An inverse holding books every amount in its settlement coin.
  margin::InverseValue inverse{};
  QtyLots long_size = 0;  // the signed net position in net mode
  std::int64_t long_entry = 0;
  QtyLots short_size = 0;  // stored negative
  std::int64_t short_entry = 0;
  std::int64_t last = 0;  // mark price: last of the latest tick, 0 before one
  // Whether a mark stream prices the holding: then `last` is the latest mark
  // and ticks only match orders, so that a wick in the last trade that the
  // mark does not follow moves neither equity nor maintenance.
  bool marked = false;
  InstrumentId instrument;
  // The currency the holding books to, its wallet: USDT, or an inverse
  // contract's coin.
  Currency currency = USDT;
  // What a tick of an inverse contract's price is worth in USD: what values
  // its coin in USDT beside a wallet of another currency.
  margin::TickWorth tick_worth{};
  // The price the holding's wallet is valued at before its first tick: the
  // first tick a portfolio will bring it, known before the run starts.
  std::int64_t opening = 0;
  // The instrument's maker and taker rates, in billionths ([0] maker, [1]
  // taker): a venue charges each contract at its own, so an account that
  // trades several may pay each differently.
  std::array<std::int64_t, 2> fee_rates{0, 0};
  // What this holding added to the account's totals: the account's realised
  // profit, fees and funding are the sums of these over its holdings, but
  // for fee statements and reported funding, which name no holding.
  Cash realized = 0;
  Cash fees = 0;
  Cash funding = 0;

  margin::Contract contract() const { return margin::Contract{contract_size, inverse}; }
  QtyLots size(Leg leg) const { return leg == Leg::Long ? long_size : short_size; }
  std::int64_t entry(Leg leg) const { return leg == Leg::Long ? long_entry : short_entry; }

  // The leg's exact cost basis: the stored one while its key matches,
  // the value of |size| at entry otherwise, 0 when flat.  For an inverse
  // holding it is the sum of what each fill that opened the leg was worth
  // as booked (fill_value), less the shares its closes took.
  Wide cost(Leg leg) const;

  // Adds lots at price to the leg in direction +1 (long) or -1 (short).  The
  // entry becomes the basis over contract_size x size, truncated; for an
  // inverse holding, the price at which size is worth the basis (the
  // harmonic mean of the fills' prices), truncated.
  // Requires: lots > 0.
  void add_to_leg(Leg leg, int direction, QtyLots lots, std::int64_t price);

  // Reduces the leg by up to qty lots at price and returns the realised
  // profit; a flat leg books nothing.  The entry stays unless the leg closes.
  // An inverse leg's exit is worth what the closing fill is (fill_value),
  // and it profits by its basis share less that: a long gains as the coin
  // value of its contracts falls.
  Cash close_leg(Leg leg, QtyLots qty, std::int64_t price);

  // Unrealised profit of the leg at price.
  Cash unrealized(Leg leg, std::int64_t price) const;

  // The fee of a fill in this holding, at its rates (fill_fee).
  Cash fee_of(const Fill& fill) const { return fill_fee(fill, contract(), fee_rates); }

  // Both legs become flat: sizes, entries and stored bases all 0.
  void flatten();

  bool is_flat() const { return long_size == 0 && short_size == 0; }
  // The price its wallet is valued at in USDT: its latest, else its opening.
  std::int64_t valuation_price() const { return last != 0 ? last : opening; }
};

// An account's value at some price, and what its margin rules require there.
struct Marked {
  Cash equity = 0;
  Cash maintenance = 0;
};

// A State is the account a kernel owns.
struct State {
  std::vector<Holding> holdings;
  Balances balances;
  Currency currency = USDT;  // the settlement currency, which every amount is booked to
  Cash realized = 0;         // closed-leg profits and positions valued out at liquidation
  Cash funding = 0;          // net funding received
  Cash fees = 0;             // fees charged; rebates reduce it
  Nanos time = 0;            // of the latest event that carries one
  Cash forfeited = 0;        // balance taken by the venue at liquidations
  bool hedge = false;        // hedge position mode, else net
  bool fees_known = false;
  bool fees_incomplete = false;
  bool enforce_margin = true;
  bool external_fills = false;
  // Whether the holdings settle in more than one currency.  Each then books
  // to its own wallet (the balance of its currency), each wallet is tested
  // and liquidated on its own, as a venue keeps them, and the account's
  // totals, equity and cash are in `currency` (USDT): an amount booked in a
  // coin converted at the price it was booked at, what is held at its
  // instrument's latest price.  Without wallets every figure is exactly
  // what it was before they existed.
  bool wallets = false;

  // An account with one flat holding of the instrument, an L0 matcher for it,
  // {USDT: balance}, all totals 0, enforce_margin set and every other flag
  // clear.  The owner then sets the holding's fee_rates, hedge, fees_known
  // and enforce_margin and installs the matcher of its tier.
  static State create(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
                      Cash balance);
  // The same, with `matcher` (for `instrument`) in its holding from the start:
  // what a run builds, once, rather than an L0 matcher it replaces at once.
  static State create(InstrumentId instrument, std::int64_t contract_size, margin::TierTable tiers,
                      Cash balance, Matcher matcher);

  // Installs matcher in the first holding.  A matcher for another instrument
  // than the holding's, or a state without holdings, is a Panic.
  static State matching_with(State state, Matcher matcher);

  // The settlement balance.
  Cash balance() const;
  // Adds to the settlement balance, saturating.
  void credit(Cash amount);
  // The balance of a wallet, and a saturating credit to it.
  Cash balance_in(Currency wallet) const;
  void credit(Currency wallet, Cash amount) { balances.add(wallet, amount); }
  // An amount of h's currency in the account's, converted at price when
  // the two differ (truncated toward zero).
  Cash in_account(const Holding& h, Cash amount, std::int64_t price) const {
    return h.currency == currency ? amount : h.tick_worth.in_usd(amount, price);
  }
  // An amount of a wallet's currency in the account's, at the latest price
  // of the first instrument settled in it.
  Cash valued(Currency wallet, Cash amount) const;
  // The cash of the account in its currency: the settlement balance, or
  // with wallets every wallet's balance, valued.
  Cash cash() const;
  // A wallet's equity and maintenance in its own currency, every holding
  // settled in it at its own last price but holding `at.first`, at
  // `at.second`; maintenance only when asked for, else 0.
  Marked wallet_marked(Currency wallet,
                       std::optional<std::pair<std::size_t, std::int64_t>> at = std::nullopt,
                       bool with_maintenance = true) const;

  // fees += fee and the settlement balance pays it.
  void charge_fee(Cash fee);
  // The same, also counted against the holding it was paid in, from its
  // wallet; `price` is the fill's, which converts it with wallets.
  void charge_fee(Cash fee, Holding& h, std::int64_t price) {
    h.fees = add_sat(h.fees, fee);
    if (!wallets) return charge_fee(fee);
    fees = add_sat(fees, in_account(h, fee, price));
    credit(h.currency, neg_sat(fee));
  }

  // Books a fill into the holding of its instrument; the fee is not part of
  // it.  A fill for an instrument without a holding is a Panic ("a fill for an
  // instrument this account does not hold").
  void apply_fill(const Fill& fill);

  // Settlement balance plus every leg's unrealised profit at its holding's
  // last price; with wallets, the sum of every wallet's equity, valued.
  Cash equity() const;

  // The saturating sum over holdings and their non-zero legs of the tier
  // table's maintenance at the holding's last price; with wallets, each
  // wallet's, valued.
  Cash maintenance() const;
  // equity() and maintenance() as they would be were holding `index`'s last
  // price `price`, every other holding at its own; maintenance only when
  // asked for, else 0.  With wallets, those of holding `index`'s wallet, in
  // its currency: what its liquidation is decided on.
  Marked marked_at(std::size_t index, std::int64_t price, bool with_maintenance = true) const;

  // The index of the holding for instrument, or of the only holding when
  // instrument is absent; nullopt when there is no such holding.
  // Inline: every event resolves its holding.
  std::optional<std::size_t> resolve(std::optional<InstrumentId> instrument) const {
    if (!instrument) return holdings.size() == 1 ? std::optional<std::size_t>(0) : std::nullopt;
    for (std::size_t i = 0; i < holdings.size(); ++i) {
      if (holdings[i].instrument == *instrument) return i;
    }
    return std::nullopt;
  }

  // Values the holding's legs out at price into realized and the balance,
  // flattens them and drops its matcher's orders without reports.  Returns
  // the report with forfeited 0; the kernel completes balance and forfeited.
  output::Liquidated liquidate_holding(std::size_t index, std::int64_t price);

  // Liquidates every holding with a non-zero leg, in order, at its last price
  // (its long entry while it has seen no tick; `at`: one holding's index and
  // the price it is closed at instead), appending the reports to out.  The
  // orders of the flat holdings are dropped too: a liquidation closes the
  // whole account.  With `wallet`, only the holdings that settle in it:
  // a wallet is liquidated on its own.
  void close_all(std::vector<Output>& out,
                 std::optional<std::pair<std::size_t, std::int64_t>> at = std::nullopt,
                 std::optional<Currency> wallet = std::nullopt);

  // Writes the settlement balance off to the venue: the balance becomes
  // exactly 0 and forfeited grows by what it was, whatever it was.  Returns
  // the amount written off.
  Cash write_off() { return write_off(currency); }
  // The same for one wallet; forfeited grows by the amount valued.
  Cash write_off(Currency wallet);
};

}  // namespace halvorn::core
