// The resting-order book: the account's own orders that have reached the
// simulated venue and wait to execute.
//
// It is not a market order book.  It never holds other participants' orders
// and never matches two of its own orders against each other; the matchers
// walk it and decide what executes.  Besides price-time priority within each
// side it remembers the order in which orders entered, which breaks ties
// between orders crossed by the same price move.
//
// A strategy may keep thousands of orders resting, and every tick, submit,
// cancel and fill touches the book, so no operation walks it: orders live in
// one pool of nodes recycled through a free list, an id index finds any of
// them in constant time, each limit side is a height-balanced tree ordered by
// (price, entry number) that keeps track of its best order, and the market
// orders of each side form a list in entry order.  Insert, remove and replace
// are logarithmic in the number of resting orders (constant for market
// orders); the best order of a lane is at hand, so a tick on which nothing
// fills costs the same however full the book is; once the pool and the index
// have reached their high-water mark nothing allocates.
//
// Thread-safety: a book belongs to one matcher and is used by one thread at a
// time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/id_map.hpp"
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

// The four sequences of the book.  Lookups by id and cancel_all take them in
// this order.
enum class Lane : std::uint8_t {
  BuyLimits = 0,    // highest price first; equal prices in entry order
  SellLimits = 1,   // lowest price first; equal prices in entry order
  BuyMarkets = 2,   // entry order
  SellMarkets = 3,  // entry order
};

// A Book holds the account's resting orders in price-time priority.
//
// Invariants:
//   - an OrderId occurs at most once in the whole book (the kernel refuses
//     duplicate ids before they get here), and the index maps exactly the
//     ids of the book to their nodes;
//   - each limit tree is ordered by its lane's priority and balanced (the
//     heights of a node's subtrees differ by at most one);
//   - every entry_seq is unique and increases with entry time.
class Book {
 public:
  // The entry number the next inserted order receives.
  std::uint64_t next_seq = 0;

  // Adds an order behind every order of its side at the same or a better
  // price, with the next entry number.  An overflowing entry number is a Panic.
  // Requires: no resting order has the order's id.
  void insert(const Working& order);

  // Removes the order with this id and returns it; nullopt when no order has
  // the id, and then nothing changes.
  std::optional<Working> remove(OrderId id);

  // Overwrites the order with this id in place, keeping its position and
  // entry number, or removes it when replacement is nullopt.  An unknown id is
  // ignored.
  // Requires: replacement has the id, side, kind and price of the stored
  // order, so that the order of its lane needs no repair.
  void replace(OrderId id, const std::optional<Working>& replacement);

  // The resting order with this id, or nullptr.  Valid until the book changes.
  const Resting* find(OrderId id) const;

  // The first order of the lane (the best limit, the earliest market order),
  // or nullptr when the lane is empty.  Valid until the book changes.
  const Resting* front(Lane lane) const;

  // Calls visit(const Resting&) for every limit order of a limit lane priced
  // from lo to hi inclusive, in no particular order, without changing the
  // book.  Costs nothing more than a look at the best order when the range
  // lies wholly behind it, and otherwise the tree's height plus the orders
  // visited.
  template <class Visit>
  void for_each_priced(Lane lane, std::int64_t lo, std::int64_t hi, Visit&& visit) const {
    const std::size_t t = limit_index(lane);
    if (first_[t] == NIL) return;
    const bool buys = lane == Lane::BuyLimits;
    const std::int64_t best = links_[first_[t]].price;
    if (buys ? best < lo : best > hi) return;
    visit_priced(root_[t], buys, lo, hi, visit);
  }

  // Calls visit(const Resting&) for the orders of a lane in the lane's
  // order, from the first, until visit returns false.  Costs the tree's
  // height plus the orders visited.
  // Requires: the book does not change during the walk.
  template <class Visit>
  void walk(Lane lane, Visit&& visit) const {
    if (lane == Lane::BuyLimits || lane == Lane::SellLimits) {
      walk_tree(root_[limit_index(lane)], visit);
      return;
    }
    for (Index n = head_[market_index(lane)]; n != NIL; n = links_[n].right) {
      if (!visit(orders_[n])) return;
    }
  }

  // A copy of the lane's orders in its order, for inspection and tests; the
  // matchers never need one.
  std::vector<Resting> orders(Lane lane) const;

  // Number of resting orders, in the whole book or in one lane.
  std::size_t size() const { return index_.size(); }
  std::size_t count(Lane lane) const { return count_[static_cast<std::size_t>(lane)]; }
  bool empty() const { return index_.empty(); }

  // Drops every order; entry numbering continues where it was.  Returns how
  // many orders were dropped.  Keeps the storage for the orders to come.
  std::size_t clear();

 private:
  using Index = std::uint32_t;
  static constexpr Index NIL = static_cast<Index>(-1);

  // The links of one node of the pool, with the key a tree orders it by.  A
  // limit order's links are its tree children; a market order's are its
  // neighbours in entry order; a free node's right link is the next free
  // node.  They are kept apart from the orders, two to a cache line, because
  // a walk down a tree reads nothing else.
  struct Link {
    std::int64_t price = 0;
    std::uint64_t seq = 0;
    Index left = NIL;
    Index right = NIL;
    std::int32_t height = 1;  // of the subtree rooted here, limit orders only
    Lane lane = Lane::BuyLimits;
  };

  static std::size_t limit_index(Lane lane) { return lane == Lane::BuyLimits ? 0 : 1; }
  static std::size_t market_index(Lane lane) { return lane == Lane::BuyMarkets ? 0 : 1; }

  Index allocate(const Resting& resting, Lane lane);
  void release(Index n);
  // Takes node n out of its lane and the index and returns it to the pool.
  void detach(Index n);

  // Whether a comes before b in a limit lane.
  bool precedes(bool buys, Index a, Index b) const;
  std::int32_t height(Index n) const { return n == NIL ? 0 : links_[n].height; }
  void update(Index n);
  Index rotate_left(Index n);
  Index rotate_right(Index n);
  Index rebalance(Index n);
  Index tree_insert(Index root, Index n, bool buys);
  Index tree_erase(Index root, Index n, bool buys);
  Index detach_first(Index root, Index& first);
  void collect(Index root, std::vector<Resting>& out) const;

  // In order; false once visit has asked to stop.
  template <class Visit>
  bool walk_tree(Index n, Visit& visit) const {
    if (n == NIL) return true;
    return walk_tree(links_[n].left, visit) && visit(orders_[n]) &&
           walk_tree(links_[n].right, visit);
  }

  template <class Visit>
  void visit_priced(Index n, bool buys, std::int64_t lo, std::int64_t hi, Visit& visit) const {
    while (n != NIL) {
      const Link& link = links_[n];
      const std::int64_t p = link.price;
      // Buys run from high to low prices, sells from low to high.
      const bool ahead_in_range = buys ? p <= hi : p >= lo;
      const bool behind_in_range = buys ? p >= lo : p <= hi;
      if (lo <= p && p <= hi) visit(orders_[n]);
      if (ahead_in_range && behind_in_range) {
        visit_priced(link.left, buys, lo, hi, visit);
        n = link.right;
      } else {
        n = ahead_in_range ? link.left : link.right;
      }
    }
  }

  std::vector<Link> links_;
  std::vector<Resting> orders_;  // beside links_, node for node
  Index free_ = NIL;
  IdMap<Index> index_;
  Index root_[2] = {NIL, NIL};   // buy limits, sell limits
  Index first_[2] = {NIL, NIL};  // the best order of each tree
  Index head_[2] = {NIL, NIL};   // buy markets, sell markets
  Index tail_[2] = {NIL, NIL};
  std::size_t count_[4] = {0, 0, 0, 0};
};

}  // namespace halvorn::engine
