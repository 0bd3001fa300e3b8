// The series of a portfolio's instruments merged into one, by exchange time.
//
// MergedTicks is a k-way merge over one tick source per instrument.  It
// keeps the next tick of each source and a tournament over them ordered by
// (exch_ts, source index), so that a tick costs a logarithm of the number
// of sources and memory does not grow with the series.  Ticks at equal
// exchange times come in the order of the sources (the order the caller
// named the instruments in), and each source's own ticks in its order.
//
// The merged ticks are copied a block at a time into storage made once,
// with each tick's instrument id beside it, and handed out in place from
// there: a strategy that reads batches by column reads them where they lie,
// and a run that marks a flat account in bulk does so over the block.
//
// Thread-safety: used by one run at a time.

#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "backtest/run.hpp"
#include "engine/tick.hpp"

namespace halvorn::backtest {

// Ticks handed out per block: large enough that refilling is rare, small
// enough to stay in the processor's caches.
inline constexpr std::size_t MERGE_BLOCK = 4096;

template <TickSource S>
class MergedTicks {
 public:
  // `sources[i]` holds the ticks of instrument id `instruments[i]`; both
  // outlive the merge.  Requires: equal lengths.
  MergedTicks(std::vector<S*> sources, std::vector<std::int64_t> instruments,
              std::size_t block = MERGE_BLOCK)
      : sources_(std::move(sources)),
        instruments_(std::move(instruments)),
        ticks_(std::max<std::size_t>(block, 1)),
        tags_(ticks_.size()) {
    while (leaves_ < sources_.size()) leaves_ *= 2;
    heads_.resize(leaves_);
    std::vector<Key> leaf(leaves_);
    for (std::size_t i = 0; i < leaves_; ++i) leaf[i] = i < sources_.size() ? advance(i) : ended(i);
    // The tournament, played once from the leaves up: each node keeps the
    // loser of the match played there, the root's winner is the next tick.
    std::vector<Key> winners(2 * leaves_);
    std::copy(leaf.begin(), leaf.end(), winners.begin() + static_cast<std::ptrdiff_t>(leaves_));
    losers_.assign(leaves_, Key{});
    for (std::size_t node = leaves_ - 1; node >= 1; --node) {
      const Key a = winners[2 * node], b = winners[2 * node + 1];
      const bool first = before(a, b);
      winners[node] = first ? a : b;
      losers_[node] = first ? b : a;
    }
    winner_ = winners[1];
  }

  bool next(engine::Tick& out) {
    const engine::Tick* t = next_in_place();
    if (t == nullptr) return false;
    out = *t;
    return true;
  }
  const engine::Tick* next_in_place() {
    if (index_ == size_ && !refill()) return nullptr;
    return &ticks_[index_++];
  }
  std::size_t in_place() const { return size_ - index_; }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return std::span<const engine::Tick>(ticks_).subspan(index_, std::min(n, in_place()));
  }
  void skip_in_place(std::size_t k) { index_ += k; }
  // Where the instrument id of the tick last handed out lies; those of the
  // ticks after it follow.  Requires: a tick has been handed out.
  const std::int64_t* last_instrument() const { return &tags_[index_ - 1]; }
  std::span<const std::int64_t> peek_instruments(std::size_t n) const {
    return std::span<const std::int64_t>(tags_).subspan(index_, std::min(n, in_place()));
  }

 private:
  // A source's next tick, where it lies or as a copy.
  struct Head {
    engine::Tick copy;
    const engine::Tick* at = nullptr;
  };

  // What a match is played on: a source's next exchange time and its rank,
  // the source's index, or leaves_ more once it has ended, so that an ended
  // source comes after every tick, one at the largest time included.  The
  // tournament's nodes hold keys, not sources: the keys a tick is matched
  // against lie on its leaf's path, known before the match, so they are
  // loaded without waiting on the match before.
  struct Key {
    Nanos time = I64_MAX;
    std::size_t rank = 0;
  };

  Key ended(std::size_t i) const { return Key{I64_MAX, leaves_ + i}; }

  // Reads source i's next tick into its head; its key.
  Key advance(std::size_t i) {
    Head& h = heads_[i];
    if constexpr (InPlaceSource<S>) {
      h.at = sources_[i]->next_in_place();
    } else {
      h.at = sources_[i]->next(h.copy) ? &h.copy : nullptr;
    }
    return h.at != nullptr ? Key{h.at->exch_ts, i} : ended(i);
  }

  // Whether a comes before b: earlier, or at the same time from a source
  // named first.
  static bool before(const Key& a, const Key& b) {
    return a.time < b.time || (a.time == b.time && a.rank < b.rank);
  }

  // Fills the block with the next merged ticks; false when every source has
  // ended.  A tick costs one match per level of the tournament, decided
  // without a branch the processor would have to guess: the order of the
  // instruments' ticks is as good as random to it.
  bool refill() {
    index_ = 0;
    std::size_t size = 0;
    const std::size_t room = ticks_.size();
    engine::Tick* const ticks = ticks_.data();
    std::int64_t* const tags = tags_.data();
    Key* const losers = losers_.data();
    Key winner = winner_;
    while (size < room && winner.rank < leaves_) {
      const std::size_t source = winner.rank;
      ticks[size] = *heads_[source].at;
      tags[size] = instruments_[source];
      ++size;
      winner = advance(source);
      for (std::size_t node = (leaves_ + source) / 2; node >= 1; node /= 2) {
        const Key held = losers[node];
        const bool lost = before(held, winner);
        losers[node] = lost ? winner : held;
        winner = lost ? held : winner;
      }
    }
    winner_ = winner;
    size_ = size;
    return size > 0;
  }

  std::vector<S*> sources_;
  std::vector<std::int64_t> instruments_;
  std::size_t leaves_ = 1;           // sources rounded up to a power of two
  std::vector<Head> heads_;          // per leaf; those past the sources stay empty
  std::vector<Key> losers_;          // per node of the tournament, 1 the root
  Key winner_;                       // the key of the head that comes next
  std::vector<engine::Tick> ticks_;  // the current block
  std::vector<std::int64_t> tags_;   // the instrument id of each of its ticks
  std::size_t size_ = 0;
  std::size_t index_ = 0;
};

// A portfolio's series already merged, in memory, with the instrument id of
// every tick beside it.
struct TaggedSpanTicks : SpanTicks {
  std::span<const std::int64_t> instruments;  // as many as ticks

  TaggedSpanTicks(std::span<const engine::Tick> t, std::span<const std::int64_t> ids)
      : SpanTicks{t}, instruments(ids) {}

  const std::int64_t* last_instrument() const { return &instruments[index - 1]; }
  std::span<const std::int64_t> peek_instruments(std::size_t n) const {
    return instruments.subspan(index, std::min(n, in_place()));
  }
};

}  // namespace halvorn::backtest
