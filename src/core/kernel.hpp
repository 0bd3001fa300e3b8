// The account kernel: the one thing that changes an account.
//
// It applies events one at a time (observations, which run the matcher and
// book its fills; submissions and cancellations; funding; fee statements;
// transfers; fills reported from outside; market depth and depth snapshots,
// which only a depth-keeping matcher takes) and returns what each produced.
// After every event that can move the account's value it checks maintenance
// margin and, when equity no longer covers it, closes the account out the way
// a venue would: every position valued out at the price, every order dropped,
// the remaining balance forfeited.
//
// Thread-safety: a kernel is used by one thread at a time; it holds no locks
// and shares nothing.

#pragma once

#include <optional>
#include <span>
#include <vector>

#include "core/account.hpp"
#include "core/event.hpp"
#include "core/liquidation_bound.hpp"
#include "core/live.hpp"

namespace halvorn::core {

// A Summary is the account at a glance: the first holding's legs and mark, the
// totals, and the equity.
struct Summary {
  QtyLots long_size = 0;  // the signed net position in net mode
  std::int64_t long_entry = 0;
  QtyLots short_size = 0;
  std::int64_t short_entry = 0;
  Cash balance = 0;  // settlement balance
  Cash realized = 0;
  Cash funding = 0;
  Cash fees = 0;
  Cash forfeited = 0;
  Cash equity = 0;
  std::int64_t last = 0;
  Nanos time = 0;
  bool fees_complete = false;  // fees are known and nothing is known to be missing

  friend bool operator==(const Summary&, const Summary&) = default;
};

// A Kernel owns one account and applies events to it.
//
// Invariants: live holds the ids of accepted orders not yet seen to finish;
// the output buffer is reused from step to step.
class Kernel {
 public:
  // A kernel over a fully configured state.
  explicit Kernel(State state);

  // Applies one event.  Refusals are Rejected outputs; nothing here fails on
  // correct input.  Returns a view of this step's outputs, valid until the
  // next apply or settle_unreported.
  std::span<const Output> apply(const Event& event);
  // The same for the one event every tick of a run brings, without wrapping
  // it in an Event first.
  std::span<const Output> apply(const event::Tick& tick);

  // Books the fills that matchers with report latency still hold back; called
  // once after the last observation.  No margin check follows.  Returns a
  // view of the outputs as apply does.
  std::span<const Output> settle_unreported();

  // A Panic for an account without holdings.
  Summary summary() const;

  const State& state() const { return state_; }
  // The ids of the orders accepted and not yet seen to finish, in the order
  // they were accepted.
  const LiveOrders& live() const { return live_; }

  // The equity and maintenance that the latest step's liquidation was
  // decided on; empty when it liquidated nothing.  The account is flat
  // afterwards, so this is the only record of how far the breach went.
  const std::optional<Marked>& breach() const { return breach_; }

 private:
  void on_tick(const event::Tick& e);
  void on_submit(const event::Submit& e);
  void on_cancel(const event::Cancel& e);
  void on_funding(const event::Funding& e);
  void on_funding_paid(const event::FundingPaid& e);
  void on_fee(const event::Fee& e);
  void on_transfer(const event::Transfer& e);
  void on_external_fill(const event::ExternalFill& e);
  void on_depth(const event::Depth& e);
  void on_snapshot(const event::Snapshot& e);
  void on_mark(const event::Mark& e);

  void reject(RejectReason reason, OrderId id);
  // Turns what the holding's matcher noticed into outputs, in order, and
  // empties its notices: an order cancelled, expired or refused leaves the
  // live list; a conditional order that fired stays in it.  Inline: every
  // tick asks, and almost every tick has nothing to say.
  void take_notices(Holding& h) {
    if (!h.matcher.notices().empty()) convert_notices(h);
  }
  void convert_notices(Holding& h);
  // Charges and books each fill in order; the caller checks margin once after.
  void book_fills(std::size_t holding, std::span<const engine::L0Fill> fills);
  // Liquidates the account when its equity at price is at or below
  // maintenance and margin is enforced.  In a portfolio the price is that of
  // holding `at`, the others valued at their own; without `at`, every
  // holding is valued at its own and `price` is not read.
  void check_liquidation(std::int64_t price, std::optional<std::size_t> at = std::nullopt);
  // The same for an account with wallets: each wallet with a position is
  // tested in its own currency and, when its equity no longer covers its
  // maintenance, liquidated on its own (its holdings closed, their orders
  // dropped, its balance taken), the others left as they stand.
  void check_wallets(std::int64_t price, std::optional<std::size_t> at);
  // The margin check of a tick of holding `index` at `price`: skipped while
  // the price is within the range proven healthy since the account last
  // changed, otherwise made in full, and the range proven again once a
  // second tick finds the account unchanged (a fill on every other tick
  // would pay for proofs no tick uses).
  void check_tick(std::size_t index, std::int64_t price);

  State state_;
  std::vector<Output> outputs_;
  LiveOrders live_;
  std::optional<Marked> breach_;
  // Counts the changes that can move an account's margin other than the
  // price of the holding whose range is kept: every event but a tick, every
  // booked fill, every liquidation, and a tick of another holding.
  std::uint64_t epoch_ = 0;
  // The range of holding bound_index_'s price proven healthy at bound_epoch_.
  PriceRange bound_;
  std::uint64_t bound_epoch_ = 0;
  std::size_t bound_index_ = SIZE_MAX;
  // The epoch and holding of the latest full check that found the account
  // healthy.
  std::uint64_t checked_epoch_ = UINT64_MAX;
  std::size_t checked_index_ = SIZE_MAX;
};

}  // namespace halvorn::core
