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
  // (exch_ts, source): the heap's order, the smallest on top.
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
    std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
  }

  // Fills the block with the next merged ticks; false when every source has
  // ended.
  bool refill() {
    index_ = 0;
    size_ = 0;
    const std::size_t room = ticks_.size();
    while (size_ < room && !heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
      const std::size_t i = heap_.back().second;
      heap_.pop_back();
      // The source on top keeps its turn while its ticks come before every
      // other source's next one: bursts of one instrument cost no heap work.
      const Key bound = heap_.empty() ? Key{I64_MAX, SIZE_MAX} : heap_.front();
      for (;;) {
        ticks_[size_] = *heads_[i].at;
        tags_[size_] = instruments_[i];
        ++size_;
        Head& h = heads_[i];
        if constexpr (InPlaceSource<S>) {
          h.at = sources_[i]->next_in_place();
        } else {
          h.at = sources_[i]->next(h.copy) ? &h.copy : nullptr;
        }
        if (h.at == nullptr) break;
        const Key key{h.at->exch_ts, i};
        if (size_ == room || !(key < bound)) {
          heap_.push_back(key);
          std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
          break;
        }
      }
    }
    return size_ > 0;
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
