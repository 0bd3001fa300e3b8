// The depth streams of a portfolio's instruments merged into one, by time.
//
// Each instrument on tier L2 may have a depth file of its own; the run
// applies their records in time order (at equal times in the order of the
// sources), each to its own holding.  The merge keeps one record read
// ahead per source, so memory does not grow with the streams; the record
// handed out says whose it is through last_instrument().
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

template <DepthSource D>
class MergedDepth {
 public:
  // `sources[i]` is the depth of instrument id `instruments[i]`; both outlive
  // the merge.  Requires: equal lengths.
  MergedDepth(std::vector<D*> sources, std::vector<InstrumentId> instruments)
      : sources_(std::move(sources)),
        instruments_(std::move(instruments)),
        heads_(sources_.size()),
        waiting_(sources_.size(), false) {
    for (std::size_t i = 0; i < sources_.size(); ++i) waiting_[i] = sources_[i]->next(heads_[i]);
  }

  // The earliest record waiting (equal times: the first source's), swapped
  // into `out` so that the level arrays' storage is reused.
  bool next(book::DepthRecord& out) {
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
  std::vector<book::DepthRecord> heads_;
  std::vector<bool> waiting_;  // heads_[i] holds a record not yet handed out
  InstrumentId last_{0};
};

}  // namespace halvorn::backtest
