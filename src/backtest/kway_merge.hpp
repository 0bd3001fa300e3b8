// The streams of a portfolio's instruments merged into one by time: its
// ticks, its depth records and its marks, each kind through the one k-way
// merge.
//
// KWayMerge keeps one head per source (its next record, read ahead) and a
// tournament over them, so that a record costs a logarithm of the number of
// sources and memory does not grow with the streams.  The tie rule, which
// every merge of a run follows: records go out by (time, source order), so
// that records of equal times come in the order of the sources (the order
// the caller named the instruments in) and each source's own in its order.
// With cross margin the order of equal times is seen: which mark comes
// first decides what a liquidation finds.
//
// MergedTicks copies the merged ticks a block at a time into storage made
// once, with each tick's instrument id beside it, and hands them out in
// place from there: a strategy that reads batches by column reads them where
// they lie, and a run that marks a flat account in bulk does so over the
// block.  MergedStreams hands out depth records or marks one at a time and
// says whose each is.
//
// Thread-safety: a merge is used by one run at a time.

#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "backtest/run_loop.hpp"
#include "book/depth_records.hpp"
#include "engine/tick.hpp"

namespace halvorn::backtest {

// Ticks handed out per block: large enough that refilling is rare, small
// enough to stay in the processor's caches.
inline constexpr std::size_t MERGE_BLOCK = 4096;
// The largest merged block, in ticks: 72 bytes each.
inline constexpr std::size_t MERGE_BLOCK_MOST = std::size_t{1} << 17;
// Batches a merged block holds, so that most batches lie in one block.
inline constexpr std::uint64_t MERGE_BATCHES = 4;
// Records read at once from all of a portfolio's files together, at most,
// and from each at least: read in the usual blocks, the files of a large
// basket would crowd each other out of the processor's caches between a
// block's read and its merge.
inline constexpr std::size_t MERGE_READ_RECORDS = std::size_t{1} << 16;
inline constexpr std::size_t MERGE_READ_LEAST = 512;

// The merged block for a strategy that reads `batch` ticks at a time: a
// batch read by column is shown where it lies only when the whole of it lies
// in one block, so a block holds MERGE_BATCHES of them, within MERGE_BLOCK
// and MERGE_BLOCK_MOST.
constexpr std::size_t merge_block(std::uint64_t batch) {
  std::uint64_t want;
  if (__builtin_mul_overflow(batch, MERGE_BATCHES, &want)) want = MERGE_BLOCK_MOST;
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(want, MERGE_BLOCK, MERGE_BLOCK_MOST));
}

// The records to read at once from each of `files` tick files merged
// together, where `usual` is what a file read alone reads.
// Requires: usual >= MERGE_READ_LEAST.
constexpr std::size_t merge_read_records(std::size_t files, std::size_t usual) {
  return std::clamp(MERGE_READ_RECORDS / std::max<std::size_t>(files, 1), MERGE_READ_LEAST, usual);
}

// The time a record is merged by: a tick's exchange time, a depth record's
// or a mark's own.
inline Nanos merge_time(const engine::Tick& t) { return t.exch_ts; }
template <class Record>
Nanos merge_time(const Record& r) {
  return r.time;
}

// A source that hands its records out where they lie (next_in_place()),
// rather than copying each into the caller's storage (next(Record&)).
template <class S, class Record>
concept RecordsInPlace = requires(S& s) {
  { s.next_in_place() } -> std::same_as<const Record*>;
};

// A source that also says how many records after the one it last handed
// out lie with it, contiguously (in_place()), and hands them out later
// (skip_in_place(k)): the merge walks such a run itself, checking their
// order as it goes, and asks the source again only at the run's end.
template <class S, class Record>
concept RecordRuns = RecordsInPlace<S, Record> && requires(S& s, const S& cs, std::size_t n) {
  { cs.in_place() } -> std::convertible_to<std::size_t>;
  s.skip_in_place(n);
};

// The one merge.  `Source` hands out Records in time order, by next(Record&)
// or next_in_place().
//
// Invariants: the head of every source that has not ended holds its next
// record; the tournament's root is the least of them by (time, source).
template <class Source, class Record>
class KWayMerge {
 public:
  // Reads the first record of each source.  The sources outlive the merge.
  explicit KWayMerge(std::vector<Source*> sources) : sources_(std::move(sources)) {
    while (leaves_ < sources_.size()) leaves_ *= 2;
    heads_.resize(leaves_);
    // The tournament, played once from the leaves up: each node keeps the
    // loser of the match played there, the root's winner is the next record.
    std::vector<Key> winners(2 * leaves_);
    for (std::size_t i = 0; i < leaves_; ++i) {
      winners[leaves_ + i] = i < sources_.size() ? advance(i) : ended(i);
    }
    losers_.assign(leaves_, Key{});
    for (std::size_t node = leaves_ - 1; node >= 1; --node) {
      const Key a = winners[2 * node], b = winners[2 * node + 1];
      const bool first = before(a, b);
      winners[node] = first ? a : b;
      losers_[node] = first ? b : a;
    }
    winner_ = winners[1];
    if (sources_.size() <= RING) {
      // A few sources: the heads behind the winner, in order, instead.
      queue_ = true;
      std::vector<Key> behind;
      for (std::size_t i = 0; i < sources_.size(); ++i) {
        const Key k = heads_[i].at != nullptr ? Key{merge_time(*heads_[i].at), i} : ended(i);
        if (k.rank != winner_.rank && k.rank < leaves_) behind.push_back(k);
      }
      std::sort(behind.begin(), behind.end(), before);
      for (const Key& k : behind) ring_[count_++] = k;
    }
  }

  // Hands out up to `room` records in merged order, each to
  // sink(record, source, n) (the n-th of this call, from 0, of the source at
  // that index); returns how many, fewer only once every source has ended.
  // A record costs one match per level of the tournament, decided without a
  // branch the processor would have to guess: the order of the sources'
  // records is as good as random to it.
  template <class Sink>
  std::size_t drain(std::size_t room, Sink&& sink) {
    if (queue_) {
      Key* const ring = ring_.data();
      std::size_t first = first_, count = count_;
      const std::size_t n =
          drain_with(room, sink, [this, ring, &first, &count](std::size_t, Key key) {
            return queued(ring, first, count, key);
          });
      first_ = first;
      count_ = count;
      return n;
    }
    Key* const losers = losers_.data();
    return drain_with(room, sink, [this, losers](std::size_t source, Key key) {
      return replay(losers, source, key);
    });
  }

  // Swaps the next record into `out`, so that a depth record's level arrays
  // keep their storage, and says its source; false once every source has
  // ended.
  bool take(Record& out, std::size_t& source)
    requires(!RecordsInPlace<Source, Record>)
  {
    if (winner_.rank >= leaves_) return false;
    source = winner_.rank;
    std::swap(out, heads_[source].copy);
    const Key key = advance(source);
    winner_ = queue_ ? queued(key) : replay(losers_.data(), source, key);
    return true;
  }

  const std::vector<Source*>& sources() const { return sources_; }

  // The record source i hands out next; null once it has ended.  Before the
  // first record is handed out, each source's first.
  const Record* head(std::size_t i) const { return heads_[i].at; }

 private:
  // A source's next record, where it lies or as a copy.
  struct Head {
    Record copy;
    const Record* at = nullptr;
    // A source of runs: the record it last handed out, and the last of
    // those that lie with it; the merge's head walks [taken, last].
    const Record* taken = nullptr;
    const Record* last = nullptr;
  };

  // What a match is played on: a source's next time and its rank, the
  // source's index, or leaves_ more once it has ended, so that an ended
  // source comes after every record, one at the largest time included.  The
  // nodes hold keys, not sources: the keys a record is matched against lie
  // on its leaf's path, known before the match, so they are loaded without
  // waiting on the match before.
  struct Key {
    Nanos time = I64_MAX;
    std::size_t rank = 0;
  };

  Key ended(std::size_t i) const { return Key{I64_MAX, leaves_ + i}; }

  static bool before(const Key& a, const Key& b) {
    return a.time < b.time || (a.time == b.time && a.rank < b.rank);
  }

  // Reads source i's next record into its head; its key.
  Key advance(std::size_t i) {
    Head& h = heads_[i];
    if constexpr (RecordRuns<Source, Record>) {
      if (h.at != h.last) [[likely]] {
        const Nanos next = merge_time(h.at[1]);
        if (next >= merge_time(*h.at)) [[likely]] {
          ++h.at;
          return Key{next, i};
        }
        // A record that goes backwards is the source's to report: the run
        // ends before it, and the source is asked for it.
        h.last = h.at;
      }
      return next_run(i);
    } else if constexpr (RecordsInPlace<Source, Record>) {
      h.at = sources_[i]->next_in_place();
    } else {
      h.at = sources_[i]->next(h.copy) ? &h.copy : nullptr;
    }
    return h.at != nullptr ? Key{merge_time(*h.at), i} : ended(i);
  }

  // Hands out the run of source i walked so far, then starts its next: the
  // record it hands out next and those that lie with it.
  Key next_run(std::size_t i) {
    Head& h = heads_[i];
    Source& s = *sources_[i];
    if (h.at != nullptr) s.skip_in_place(static_cast<std::size_t>(h.last - h.taken));
    const Record* t = s.next_in_place();
    h.at = h.taken = h.last = t;
    if (t == nullptr) return ended(i);
    h.last = t + s.in_place();
    return Key{merge_time(*t), i};
  }

  template <class Sink, class Next>
  std::size_t drain_with(std::size_t room, Sink& sink, Next next) {
    Key winner = winner_;
    std::size_t n = 0;
    while (n < room && winner.rank < leaves_) {
      const std::size_t source = winner.rank;
      sink(*heads_[source].at, source, n);
      ++n;
      winner = next(source, advance(source));
    }
    winner_ = winner;
    return n;
  }

  // Files `key`, the winner's source's new head, among the heads behind it,
  // from the back, and returns the first.  A source that comes next again
  // costs one comparison, and so does one that comes last again, as where
  // instruments tick in turn; a head filed k places from the back costs k.
  // The queue's ends are passed in, so that a drain keeps them in registers
  // rather than reading them back after every tick it writes.
  Key queued(Key key) { return queued(ring_.data(), first_, count_, key); }
  Key queued(Key* ring, std::size_t& first, std::size_t& count, Key key) const {
    if (key.rank < leaves_) {
      if (count == 0 || before(key, ring[first])) return key;
      std::size_t j = count;
      while (before(key, ring[(first + j - 1) % RING_SLOTS])) {
        ring[(first + j) % RING_SLOTS] = ring[(first + j - 1) % RING_SLOTS];
        --j;
      }
      ring[(first + j) % RING_SLOTS] = key;
      ++count;
    } else if (count == 0) {
      return key;
    }
    const Key next = ring[first];
    first = (first + 1) % RING_SLOTS;
    --count;
    return next;
  }

  // Plays `key`, source's new head, up its path; the new winner.
  Key replay(Key* losers, std::size_t source, Key key) const {
    for (std::size_t node = (leaves_ + source) / 2; node >= 1; node /= 2) {
      const Key held = losers[node];
      const bool lost = before(held, key);
      losers[node] = lost ? key : held;
      key = lost ? held : key;
    }
    return key;
  }

  std::vector<Source*> sources_;
  std::size_t leaves_ = 1;   // sources rounded up to a power of two
  std::vector<Head> heads_;  // per leaf; those past the sources stay empty
  std::vector<Key> losers_;  // per node of the tournament, 1 the root
  Key winner_;               // the key of the head that comes next
  // Up to RING sources are merged by a queue of the heads behind the
  // winner, in order, instead of the tournament.
  static constexpr std::size_t RING = 16;
  static constexpr std::size_t RING_SLOTS = 32;  // a power of two above RING
  bool queue_ = false;
  std::array<Key, RING_SLOTS> ring_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
};

// A portfolio's series merged into one, handed out in place a block at a
// time with the instrument id of every tick beside it.
template <TickSource S>
class MergedTicks {
 public:
  // `sources[i]` holds the ticks of instrument `instruments[i]`; the sources
  // outlive the merge.  Requires: equal lengths.
  MergedTicks(std::vector<S*> sources, const std::vector<InstrumentId>& instruments,
              std::size_t block = MERGE_BLOCK)
      : merge_(std::move(sources)), ticks_(std::max<std::size_t>(block, 1)), tags_(ticks_.size()) {
    for (InstrumentId id : instruments) ids_.push_back(id.value);
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
  // The first tick of source i, null for an empty one.  Requires: no tick
  // has been handed out.
  const engine::Tick* first_of(std::size_t i) const { return merge_.head(i); }
  // Where the instrument id of the tick last handed out lies; those of the
  // ticks after it follow.  Requires: a tick has been handed out.
  const std::int64_t* last_instrument() const { return &tags_[index_ - 1]; }
  std::span<const std::int64_t> peek_instruments(std::size_t n) const {
    return std::span<const std::int64_t>(tags_).subspan(index_, std::min(n, in_place()));
  }

 private:
  // Fills the block with the next merged ticks; false when every source has
  // ended.
  bool refill() {
    engine::Tick* const ticks = ticks_.data();
    std::int64_t* const tags = tags_.data();
    const std::int64_t* const ids = ids_.data();
    index_ = 0;
    size_ = merge_.drain(ticks_.size(), [ticks, tags, ids](const engine::Tick& t,
                                                           std::size_t source, std::size_t n) {
      ticks[n] = t;
      tags[n] = ids[source];
    });
    return size_ > 0;
  }

  KWayMerge<S, engine::Tick> merge_;
  // The instrument ids as the strategy reads them beside its ticks.
  std::vector<std::int64_t> ids_;
  std::vector<engine::Tick> ticks_;  // the current block
  std::vector<std::int64_t> tags_;   // the instrument id of each of its ticks
  std::size_t size_ = 0;
  std::size_t index_ = 0;
};

// A portfolio's depth records or marks merged into one.  Record is a
// book::DepthRecord or a MarkPoint; each source hands them out in time order
// through next(Record&).
template <class D, class Record>
class MergedStreams {
 public:
  // `sources[i]` is the stream of instrument `instruments[i]`; the sources
  // outlive the merge.  Requires: equal lengths.
  MergedStreams(std::vector<D*> sources, std::vector<InstrumentId> instruments)
      : merge_(std::move(sources)), instruments_(std::move(instruments)) {}

  bool next(Record& out) {
    std::size_t source;
    if (!merge_.take(out, source)) return false;
    last_ = instruments_[source];
    return true;
  }

  // The instrument of the record last handed out.
  InstrumentId last_instrument() const { return last_; }

  // The first error of a source that stopped, when its kind tells one.
  template <class E = D>
  auto error() const -> std::remove_cvref_t<decltype(std::declval<const E&>().error())> {
    for (const D* d : merge_.sources()) {
      if (d->error()) return d->error();
    }
    return {};
  }

 private:
  KWayMerge<D, Record> merge_;
  std::vector<InstrumentId> instruments_;
  InstrumentId last_{0};
};

template <DepthSource D>
using MergedDepth = MergedStreams<D, book::DepthRecord>;
template <MarkSource M>
using MergedMarks = MergedStreams<M, MarkPoint>;

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
