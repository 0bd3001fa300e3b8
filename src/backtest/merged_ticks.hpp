// The series of a portfolio's instruments merged into one, by exchange time.
//
// MergedTicks is a k-way merge over one tick source per instrument.  It
// keeps the next tick of each source and a heap of them ordered by
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
#include <functional>
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
        heads_(sources_.size()),
        ticks_(std::max<std::size_t>(block, 1)),
        tags_(ticks_.size()) {
    heap_.reserve(sources_.size());
    for (std::size_t i = 0; i < sources_.size(); ++i) advance(i);
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
  // (exch_ts, source): the heap's order, the smallest on top, each key no
  // larger than its children's.
  using Key = std::pair<Nanos, std::size_t>;

  // Reads source i's next tick into its head and onto the heap.
  void advance(std::size_t i) {
    Head& h = heads_[i];
    if constexpr (InPlaceSource<S>) {
      h.at = sources_[i]->next_in_place();
    } else {
      h.at = sources_[i]->next(h.copy) ? &h.copy : nullptr;
    }
    if (h.at == nullptr) return;
    heap_.emplace_back(h.at->exch_ts, i);
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});  // a min-heap of keys
  }

  // Fills the block with the next merged ticks; false when every source has
  // ended.
  bool refill() {
    index_ = 0;
    // Kept in locals: the stores into the block could otherwise be taken to
    // change them, and every tick would reload them.
    std::size_t size = 0;
    const std::size_t room = ticks_.size();
    engine::Tick* const ticks = ticks_.data();
    std::int64_t* const tags = tags_.data();
    while (size < room && !heap_.empty()) {
      const std::size_t i = heap_.front().second;
      // The source on top keeps its turn while its ticks come before every
      // other source's next one: bursts of one instrument cost no heap work.
      const Key bound = second_smallest();
      const std::int64_t tag = instruments_[i];
      S* const source = sources_[i];
      const engine::Tick* at = heads_[i].at;
      for (;;) {
        ticks[size] = *at;
        tags[size] = tag;
        ++size;
        if constexpr (InPlaceSource<S>) {
          at = source->next_in_place();
        } else {
          at = source->next(heads_[i].copy) ? &heads_[i].copy : nullptr;
        }
        if (at == nullptr) {
          pop_top();
          break;
        }
        const Key key{at->exch_ts, i};
        if (size == room || !(key < bound)) {
          // One pass down the heap instead of a pop and a push.
          heap_.front() = key;
          sift_down();
          break;
        }
      }
      heads_[i].at = at;
    }
    size_ = size;
    return size > 0;
  }

  // The smallest key below the top: one of its two children.
  Key second_smallest() const {
    const std::size_t n = heap_.size();
    if (n < 2) return Key{I64_MAX, SIZE_MAX};
    if (n == 2 || heap_[1] < heap_[2]) return heap_[1];
    return heap_[2];
  }

  // Restores the heap after its top grew.
  void sift_down() {
    const std::size_t n = heap_.size();
    std::size_t at = 0;
    const Key moving = heap_[0];
    for (;;) {
      std::size_t child = 2 * at + 1;
      if (child >= n) break;
      if (child + 1 < n && heap_[child + 1] < heap_[child]) ++child;
      if (!(heap_[child] < moving)) break;
      heap_[at] = heap_[child];
      at = child;
    }
    heap_[at] = moving;
  }

  void pop_top() {
    heap_.front() = heap_.back();
    heap_.pop_back();
    if (!heap_.empty()) sift_down();
  }

  std::vector<S*> sources_;
  std::vector<std::int64_t> instruments_;
  std::vector<Head> heads_;
  std::vector<Key> heap_;
  std::vector<engine::Tick> ticks_;  // the current block
  std::vector<std::int64_t> tags_;   // the instrument id of each of its ticks
  std::size_t size_ = 0;
  std::size_t index_ = 0;
};

// A portfolio's series already merged, in memory, with the instrument id of
// every tick beside it.
struct TaggedSpanTicks {
  std::span<const engine::Tick> ticks;
  std::span<const std::int64_t> instruments;  // as many as ticks
  std::size_t index = 0;

  bool next(engine::Tick& out) {
    if (index == ticks.size()) return false;
    out = ticks[index++];
    return true;
  }
  const engine::Tick* next_in_place() { return index == ticks.size() ? nullptr : &ticks[index++]; }
  std::size_t in_place() const { return ticks.size() - index; }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return ticks.subspan(index, std::min(n, in_place()));
  }
  void skip_in_place(std::size_t k) { index += k; }
  const std::int64_t* last_instrument() const { return &instruments[index - 1]; }
  std::span<const std::int64_t> peek_instruments(std::size_t n) const {
    return instruments.subspan(index, std::min(n, in_place()));
  }
};

}  // namespace halvorn::backtest
