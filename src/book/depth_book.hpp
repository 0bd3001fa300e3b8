// The depth book: a price-level view of the market's order book for one
// instrument, kept from a stream of incremental updates.
//
// A book starts from a snapshot and then accepts only updates that continue
// the update-id sequence without a gap.  An update that does not fit is
// refused with an error saying why and leaves the book as it was; the caller
// decides what to do (the L2 matcher drops the book and waits for a new
// snapshot).  The book is the market's, not the account's: the account's own
// orders never change it, and pricing a fill against it works on a copy.
//
// Thread-safety: a book belongs to one matcher and is used by one thread at a
// time.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "book/depth_records.hpp"
#include "types/fixed.hpp"

namespace halvorn::book {

// What Side::take consumed.
struct Taken {
  Wide notional = 0;        // sum of price x lots taken
  std::int64_t filled = 0;  // lots taken
  bool ran_short = false;   // the side ran out before the wanted lots

  friend bool operator==(const Taken&, const Taken&) = default;
};

// A Side is one side of the depth book, best level first.
//
// Invariants: levels are sorted best first (highest price first when
// descending, lowest first otherwise) with at most one level per price.
struct Side {
  std::vector<Level> levels;
  bool descending = false;  // true for bids

  // Sets the quantity at price: a quantity of 0 removes the level (and does
  // nothing when there is none); any other quantity replaces the level's or
  // inserts a new level at its sorted place.
  void apply(std::int64_t price, std::int64_t qty);

  // The displayed quantity at exactly this price; nullopt when there is no
  // level there.
  std::optional<std::int64_t> qty_at(std::int64_t price) const;

  // Consumes up to qty lots from the best levels.  Levels with nothing to
  // give (zero or less) are passed over and stay; levels emptied by the take
  // are removed, a partly consumed level keeps its remainder.  A qty of zero
  // or less takes nothing.  The side changes even when it runs short, so a
  // caller that only wants a price works on a copy.  A notional beyond 128
  // bits is a Panic.
  Taken take(std::int64_t qty);

  bool operator==(const Side&) const = default;
};

// Book::apply outcomes and errors.
namespace apply {
// The update changed the book.
struct Applied {
  bool operator==(const Applied&) const = default;
};
// The update lies entirely within the snapshot and was ignored.
struct Stale {
  bool operator==(const Stale&) const = default;
};
// Error: the book has no snapshot to apply updates to.
struct NoSnapshot {
  bool operator==(const NoSnapshot&) const = default;
};
// Error: the first update after the snapshot starts past the id after it.
struct StartGap {
  std::uint64_t snapshot_id = 0;
  std::uint64_t first_id = 0;
  std::uint64_t final_id = 0;
  bool operator==(const StartGap&) const = default;
};
// Error: the update does not continue from the last applied one.
struct SequenceGap {
  std::uint64_t last_final_id = 0;
  std::uint64_t expected_prev = 0;  // the previous id the update says it follows
  bool operator==(const SequenceGap&) const = default;
};
}  // namespace apply

using ApplyResult = std::variant<apply::Applied, apply::Stale, apply::NoSnapshot, apply::StartGap,
                                 apply::SequenceGap>;

// Whether the result is one of the errors (the caller must resynchronise).
bool is_error(const ApplyResult& result);

// The fixed display text of a result, for logs and messages.
std::string to_string(const ApplyResult& result);

// What the update-id rules say of `update` for a book holding
// `snapshot_id` and `last_final_id` (a Book's fields): Applied when the
// update continues the book, else why not.  Book::apply asks it before it
// touches a level; a reader checking a recorded stream asks it without
// keeping the levels.
ApplyResult sequence_verdict(const std::optional<std::uint64_t>& snapshot_id,
                             const std::optional<std::uint64_t>& last_final_id,
                             const DepthUpdate& update);

// A Book is the market's depth for one instrument, kept from a snapshot and
// the updates after it.
//
// Invariants: bids.descending is true and asks.descending false;
// last_final_id is present only while snapshot_id is; applied counts the
// updates applied since the book last became empty or took a snapshot.
struct Book {
  std::optional<std::uint64_t> last_final_id;
  std::optional<std::uint64_t> snapshot_id;
  Side bids{{}, true};
  Side asks{{}, false};
  std::uint64_t applied = 0;

  // Applies one update under the sequence rules.  An error leaves the book
  // unchanged.  An applied-count overflow is a Panic.
  ApplyResult apply(const DepthUpdate& update);

  // Replaces both sides by the snapshot's levels, sorted with one level per
  // price, and starts the update sequence again from its last update id:
  // snapshot_id is that id, last_final_id is absent and applied is 0.
  void install(const DepthSnapshot& snapshot);

  // Back to the empty book: no snapshot, no last id, empty sides, applied 0.
  void clear();

  bool operator==(const Book&) const = default;
};

}  // namespace halvorn::book
