// The resting-order book: the account's own orders that have reached the
// simulated venue and wait to execute.
//
// It is not a market order book.  It never holds other participants' orders
// and never matches two of its own orders against each other; the matchers
// walk it and decide what executes.  Besides price-time priority within each
// side it remembers the order in which orders entered, which breaks ties
// between orders crossed by the same price move.
//
// Thread-safety: a book belongs to one matcher and is used by one thread at a
// time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "types/order.hpp"

namespace halvorn::engine {

// A Resting order is a working order together with the book's entry number for
// it.
struct Resting {
  Working order;
  std::uint64_t entry_seq = 0;

  OrderId id() const { return order.id; }

  friend bool operator==(const Resting&, const Resting&) = default;
};

// A Book holds the account's resting orders in price-time priority.
//
// Invariants:
//   - an OrderId occurs at most once in the whole book (the kernel refuses
//     duplicate ids before they get here);
//   - buy_limits is sorted by price descending, sell_limits ascending, and
//     equal prices keep entry order;
//   - every entry_seq is unique and increases with entry time.
// Lookups by id search buy limits, sell limits, buy markets, sell markets, in
// that order.
struct Book {
  std::vector<Resting> buy_limits;    // highest price first
  std::vector<Resting> sell_limits;   // lowest price first
  std::vector<Resting> buy_markets;   // entry order
  std::vector<Resting> sell_markets;  // entry order
  std::uint64_t next_seq = 0;         // entry number of the next insert

  // Adds an order behind every order of its side at the same or a better
  // price, with the next entry number.  An overflowing entry number is a Panic.
  void insert(const Working& order);

  // Removes the first order with this id and returns it; nullopt when no
  // order has the id, and then nothing changes.
  std::optional<Working> remove(OrderId id);

  // Overwrites the order with this id in place, keeping its position and
  // entry number, or removes it when replacement is nullopt.  An unknown id is
  // ignored.
  // Requires: replacement has the id, side, kind and price of the stored
  // order, so that the sort order needs no repair.
  void replace(OrderId id, const std::optional<Working>& replacement);

  // The resting order with this id, or nullptr.  Valid until the book changes.
  const Resting* find(OrderId id) const;

  // Number of resting orders.
  std::size_t size() const {
    return buy_limits.size() + sell_limits.size() + buy_markets.size() + sell_markets.size();
  }
  // Checked on every tick: four comparisons, where size() divides four times.
  bool empty() const {
    return buy_limits.empty() && sell_limits.empty() && buy_markets.empty() &&
           sell_markets.empty();
  }

  // Drops every order; entry numbering continues where it was.  Returns how
  // many orders were dropped.
  std::size_t clear();

 private:
  struct Slot {
    std::vector<Resting>* array;
    std::size_t index;
  };
  std::optional<Slot> locate(OrderId id);
};

}  // namespace halvorn::engine
