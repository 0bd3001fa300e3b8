// The depth and mark streams of a portfolio's instruments, each kind merged
// into one by time.
//
// Each instrument may have a depth file (on tier L2) and a mark file of its
// own; the run applies their records in time order (at equal times in the
// order of the sources), each to its own holding.  A merge keeps one record
// read ahead per source, so memory does not grow with the streams; the
// record handed out says whose it is through last_instrument().
//
// Thread-safety: used by one run at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "backtest/run.hpp"
#include "book/depth_records.hpp"

namespace halvorn::backtest {

// Record is a book::DepthRecord or a MarkPoint; each source hands them out
// in time order through next(Record&).
template <class D, class Record>
class MergedStreams {
 public:
  // `sources[i]` is the stream of instrument id `instruments[i]`; both
  // outlive the merge.  Requires: equal lengths.
  MergedStreams(std::vector<D*> sources, std::vector<InstrumentId> instruments)
      : sources_(std::move(sources)),
        instruments_(std::move(instruments)),
        heads_(sources_.size()),
        waiting_(sources_.size(), false) {
    for (std::size_t i = 0; i < sources_.size(); ++i) waiting_[i] = sources_[i]->next(heads_[i]);
  }

  // The earliest record waiting (equal times: the first source's), swapped
  // into `out` so that a depth record's level arrays keep their storage.
  bool next(Record& out) {
    std::size_t at = heads_.size();
    for (std::size_t i = 0; i < heads_.size(); ++i) {
      if (waiting_[i] && (at == heads_.size() || heads_[i].time < heads_[at].time)) at = i;
    }
    if (at == heads_.size()) return false;
    std::swap(out, heads_[at]);
    last_ = instruments_[at];
    waiting_[at] = sources_[at]->next(heads_[at]);
    return true;
  }

  // The instrument of the record last handed out.
  InstrumentId last_instrument() const { return last_; }

  // The first error of a source that stopped, when its kind tells one.
  template <class E = D>
  auto error() const -> std::remove_cvref_t<decltype(std::declval<const E&>().error())> {
    for (const D* d : sources_) {
      if (d->error()) return d->error();
    }
    return {};
  }

 private:
  std::vector<D*> sources_;
  std::vector<InstrumentId> instruments_;
  std::vector<Record> heads_;
  std::vector<bool> waiting_;  // heads_[i] holds a record not yet handed out
  InstrumentId last_{0};
};

template <DepthSource D>
using MergedDepth = MergedStreams<D, book::DepthRecord>;
template <MarkSource M>
using MergedMarks = MergedStreams<M, MarkPoint>;

}  // namespace halvorn::backtest
