#include "data/record_surveys.hpp"

#include <algorithm>
#include <limits>
#include <vector>

#include "data/mark_reader.hpp"

namespace halvorn::data {

namespace {

// The steps between successive times of a stream.
struct Steps {
  Nanos gap;
  std::uint64_t count = 0;
  std::uint64_t gaps = 0;
  Nanos first = 0, last = 0, largest = 0, largest_at = 0;

  void add(Nanos t) {
    if (count++ == 0) {
      first = t;
    } else {
      const __int128 step = static_cast<__int128>(t) - last;
      if (step > gap) ++gaps;
      if (step > largest) {
        largest = step > std::numeric_limits<Nanos>::max() ? std::numeric_limits<Nanos>::max()
                                                           : static_cast<Nanos>(step);
        largest_at = t;
      }
    }
    last = t;
  }
};

template <class Survey>
void put_steps(const Steps& s, Survey* out) {
  out->first = s.first;
  out->last = s.last;
  out->gaps = s.gaps;
  out->largest_gap = s.largest;
  out->largest_gap_at = s.largest_at;
}

}  // namespace

std::variant<MarkSurvey, MarkError> survey_mark_file(const std::string& path,
                                                     const SurveyLimits& limits) {
  MarkOpened opened = MarkReader::open(path);
  if (auto* e = std::get_if<MarkError>(&opened)) return *e;
  MarkReader& reader = std::get<MarkReader>(opened);
  auto settled = reader.settlements();
  if (auto* e = std::get_if<MarkError>(&settled)) return *e;
  const std::vector<PricedRate>& settlements = std::get<std::vector<PricedRate>>(settled);

  MarkSurvey out;
  out.settlements = settlements.size();
  Steps steps{limits.gap};
  std::size_t next = 0;  // the first settlement not yet met
  std::optional<MarkRecord> in_force;
  // A settlement is met once the records have passed its time: the mark in
  // force then is the last record at or before it.
  auto meet = [&](const PricedRate& s) {
    if (!in_force) {
      ++out.unmarked;
      return;
    }
    const Nanos age = s.time - in_force->time;
    out.oldest_mark = std::max(out.oldest_mark, age);
    if (age > limits.stale_after) ++out.stale_settlements;
    if (s.price != in_force->mark) ++out.off_mark;
  };
  for (;;) {
    MarkNext n = reader.next();
    if (auto* e = std::get_if<MarkError>(&n)) return *e;
    if (std::holds_alternative<End>(n)) break;
    const MarkRecord r = std::get<MarkRecord>(n);
    while (next < settlements.size() && settlements[next].time < r.time) meet(settlements[next++]);
    if (in_force && *in_force == r) ++out.repeated;
    steps.add(r.time);
    in_force = r;
  }
  while (next < settlements.size()) meet(settlements[next++]);
  out.records = steps.count;
  put_steps(steps, &out);
  return out;
}

std::variant<DepthSurvey, DepthError> survey_depth_file(const std::string& path,
                                                        const SurveyLimits& limits) {
  DepthOpened opened = DepthReader::open(path);
  if (auto* e = std::get_if<DepthError>(&opened)) return *e;
  DepthReader& reader = std::get<DepthReader>(opened);
  DepthSurvey out;
  Steps steps{limits.gap};
  book::DepthRecord record;
  // The book a run keeps, so that a break here is a break there: an update
  // it refuses drops the book until the next snapshot.
  book::Book book;
  for (;;) {
    DepthNext n = reader.next(record);
    if (auto* e = std::get_if<DepthError>(&n)) return *e;
    if (std::holds_alternative<End>(n)) break;
    steps.add(record.time);
    if (const auto* s = std::get_if<book::DepthSnapshot>(&record.entry)) {
      ++out.snapshots;
      book.install(*s);
      if (!book.bids.levels.empty() && !book.asks.levels.empty() &&
          book.bids.levels.front().price >= book.asks.levels.front().price) {
        ++out.crossed;
      }
      continue;
    }
    ++out.updates;
    const book::ApplyResult applied = book.apply(std::get<book::DepthUpdate>(record.entry));
    if (std::holds_alternative<book::apply::NoSnapshot>(applied)) {
      ++out.unbooked;
    } else if (book::is_error(applied)) {
      ++out.breaks;
      ++out.unbooked;
      book.clear();
    }
  }
  out.records = steps.count;
  put_steps(steps, &out);
  return out;
}

}  // namespace halvorn::data
