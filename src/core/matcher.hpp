// The matcher: the simulated venue for one instrument of one account, and the
// tier that selects which one a run uses.
//
// Matcher is a closed tagged union of the engines, dispatched by std::visit;
// there is no class hierarchy and no other kind of matcher.  The L0 engine is
// held by value; the L1 and L2 engines, which are much larger, live on the
// heap so that a Matcher stays small.  Callers use only the operations below,
// so a new alternative changes this file and its .cpp, never a caller.  A
// Matcher is move-only because it owns its heap engines.
//
// Thread-safety: a matcher belongs to one kernel and is used by one thread at
// a time.

#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "book/depth_book.hpp"
#include "book/depth_records.hpp"
#include "engine/l0.hpp"
#include "engine/l1.hpp"
#include "engine/l2.hpp"

namespace halvorn::core {

struct Matcher;

// The names of the tiers, indexed by tier.
inline constexpr std::array<const char*, 3> TIER_NAMES = {"L0", "L1", "L2"};

// A Tier is a run's choice of matcher.
struct Tier {
  // Fills at observed prices.
  struct L0 {};
  // Adds latency, queue position and impact.
  struct L1 {
    engine::L1Config config;
  };
  // Adds a depth book to L1.
  struct L2 {
    engine::L1Config config;
  };

  std::variant<L0, L1, L2> kind;

  // The tier's name, "L0", "L1" or "L2".
  const char* name() const { return TIER_NAMES[kind.index()]; }

  // Builds the matcher for one holding; instrument is stamped on its fills.
  static Matcher matcher(const Tier& tier, InstrumentId instrument);
};

// A Matcher is one of the engines, owned by a holding.
struct Matcher {
  std::variant<engine::L0Engine, std::unique_ptr<engine::L1Engine>,
               std::unique_ptr<engine::L2Engine>>
      engine;

  explicit Matcher(engine::L0Engine l0) : engine(std::move(l0)) {}
  // Requires: l1 is not null.
  explicit Matcher(std::unique_ptr<engine::L1Engine> l1) : engine(std::move(l1)) {}
  // Requires: l2 is not null.
  explicit Matcher(std::unique_ptr<engine::L2Engine> l2) : engine(std::move(l2)) {}
  Matcher(Matcher&&) = default;
  Matcher& operator=(Matcher&&) = default;
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // Hands a new order to the venue.  now is the order's send time (its
  // local_ts), from which latency counts; L0 ignores it.
  // Requires: order is as limit_order or market_order built it.
  void submit(const Working& order, Nanos now);

  // Removes the order with this id; false when this matcher does not hold it
  // (already filled, already cancelled, or never sent here).
  bool cancel(OrderId id);

  // Drops every working order; returns how many.
  std::size_t cancel_all();

  // Returns the fills this tick reports, in order: a view of the matcher's own
  // buffer, valid until the next on_tick on this matcher.
  std::span<const engine::L0Fill> on_tick(const engine::Tick& tick);

  // Hands over every fill that happened but has not been reported, sorted by
  // report time.  Empty for a matcher without report latency.
  std::vector<engine::L0Fill> drain_unreported();

  // Applies a depth update where the matcher keeps depth and returns the
  // book's answer; nullopt (and nothing happens) for a matcher without depth.
  std::optional<book::ApplyResult> on_depth(const book::DepthUpdate& update);

  // Installs a depth snapshot where the matcher keeps depth, bringing it back
  // in sync; returns whether it did (false for a matcher without depth).
  bool on_snapshot(const book::DepthSnapshot& snapshot);

  // Whether the matcher holds nothing a tick could act on or report: no
  // order in any stage, no fill awaiting its report, and no depth (an L2
  // matcher is never idle).
  bool idle() const;

  // Ticks handled as invalid while the depth was out of sync; 0 for a matcher
  // without depth.
  std::size_t invalid_ticks() const;

  // "L0", "L1" or "L2".
  const char* tier_name() const { return TIER_NAMES[engine.index()]; }

  // The instrument stamped on this matcher's fills.
  InstrumentId instrument() const;
};

}  // namespace halvorn::core
