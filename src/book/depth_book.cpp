#include "book/depth_book.hpp"

#include <algorithm>

#include "types/overloaded.hpp"

namespace halvorn::book {

namespace {

std::string text(std::uint64_t v) { return std::to_string(v); }

}  // namespace

void Side::apply(std::int64_t price, std::int64_t qty) {
  auto before = [this](const Level& l, std::int64_t p) {
    return descending ? l.price > p : l.price < p;
  };
  auto it = std::lower_bound(levels.begin(), levels.end(), price, before);
  const bool found = it != levels.end() && it->price == price;
  if (found) {
    if (qty == 0) {
      levels.erase(it);
    } else {
      it->qty = qty;
    }
  } else if (qty != 0) {
    levels.insert(it, Level{price, qty});
  }
}

std::optional<std::int64_t> Side::qty_at(std::int64_t price) const {
  auto before = [this](const Level& l, std::int64_t p) {
    return descending ? l.price > p : l.price < p;
  };
  auto it = std::lower_bound(levels.begin(), levels.end(), price, before);
  if (it == levels.end() || it->price != price) return std::nullopt;
  return it->qty;
}

Taken Side::take(std::int64_t qty) {
  Taken t;
  if (qty <= 0) return t;
  // Price the take first without touching the levels.
  std::int64_t wanted = qty;
  for (const Level& l : levels) {
    const std::int64_t lots = std::clamp<std::int64_t>(l.qty, 0, wanted);
    if (lots == 0) continue;
    Wide value;
    if (__builtin_mul_overflow(static_cast<Wide>(l.price), static_cast<Wide>(lots), &value) ||
        __builtin_add_overflow(t.notional, value, &t.notional)) {
      panic("depth notional overflows");
    }
    t.filled += lots;
    wanted -= lots;
    if (wanted == 0) break;
  }
  t.ran_short = wanted > 0;

  // Then consume what was priced from the front.  A level with nothing to
  // give (only an update can set a negative quantity) is passed over and left
  // where it is, so the emptied levels are removed wherever they sit among
  // the visited ones rather than assumed to be a prefix.
  std::int64_t left = t.filled;
  std::size_t visited = 0;
  for (; visited < levels.size() && left > 0; ++visited) {
    Level& l = levels[visited];
    const std::int64_t lots = std::clamp<std::int64_t>(l.qty, 0, left);
    l.qty -= lots;
    left -= lots;
  }
  auto end = levels.begin() + static_cast<std::ptrdiff_t>(visited);
  levels.erase(std::remove_if(levels.begin(), end, [](const Level& l) { return l.qty == 0; }), end);
  return t;
}

bool is_error(const ApplyResult& result) {
  return !std::holds_alternative<apply::Applied>(result) &&
         !std::holds_alternative<apply::Stale>(result);
}

std::string to_string(const ApplyResult& result) {
  return std::visit(
      Overloaded{
          [](const apply::Applied&) { return std::string("applied"); },
          [](const apply::Stale&) { return std::string("stale update: already in the snapshot"); },
          [](const apply::NoSnapshot&) { return std::string("depth book has no snapshot"); },
          [](const apply::StartGap& e) {
            return "gap after snapshot " + text(e.snapshot_id) + ": first update covers " +
                   text(e.first_id) + ".." + text(e.final_id);
          },
          [](const apply::SequenceGap& e) {
            return "sequence gap: last applied " + text(e.last_final_id) + ", update follows " +
                   text(e.expected_prev);
          },
      },
      result);
}

ApplyResult sequence_verdict(const std::optional<std::uint64_t>& snapshot_id,
                             const std::optional<std::uint64_t>& last_final_id,
                             const DepthUpdate& update) {
  if (!snapshot_id) return apply::NoSnapshot{};
  if (last_final_id) {
    const std::uint64_t expected =
        update.prev_final_id.value_or(update.first_id == 0 ? 0 : update.first_id - 1);
    if (expected != *last_final_id) return apply::SequenceGap{*last_final_id, expected};
  } else {
    // The first update after the snapshot may overlap it but must not leave
    // a gap behind it; a stated previous id at or below the snapshot vouches
    // that nothing was missed.
    const std::uint64_t s = *snapshot_id;
    if (update.final_id <= s) return apply::Stale{};
    const bool past = s < update.first_id && update.first_id - s > 1;
    if (past && (!update.prev_final_id || *update.prev_final_id > s)) {
      return apply::StartGap{s, update.first_id, update.final_id};
    }
  }
  return apply::Applied{};
}

ApplyResult Book::apply(const DepthUpdate& update) {
  if (ApplyResult verdict = sequence_verdict(snapshot_id, last_final_id, update);
      !std::holds_alternative<apply::Applied>(verdict)) {
    return verdict;
  }
  const std::uint64_t count = next_counter(applied, "depth update count overflows");
  for (const Level& l : update.bids) bids.apply(l.price, l.qty);
  for (const Level& l : update.asks) asks.apply(l.price, l.qty);
  last_final_id = update.final_id;
  applied = count;
  return apply::Applied{};
}

void Book::install(const DepthSnapshot& snapshot) {
  bids.levels.clear();
  asks.levels.clear();
  for (const Level& l : snapshot.bids) bids.apply(l.price, l.qty);
  for (const Level& l : snapshot.asks) asks.apply(l.price, l.qty);
  snapshot_id = snapshot.last_update_id;
  last_final_id.reset();
  applied = 0;
}

void Book::clear() {
  last_final_id.reset();
  snapshot_id.reset();
  bids.levels.clear();
  asks.levels.clear();
  applied = 0;
}

}  // namespace halvorn::book
