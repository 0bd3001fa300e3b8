#include "engine/resting_book.hpp"

#include <algorithm>

namespace halvorn::engine {

void Book::insert(const Working& order) {
  const Resting resting{order, next_seq};
  next_seq = next_counter(next_seq, "book entry number overflows");
  if (order.kind.is_market()) {
    const Lane lane = order.side == Side::Buy ? Lane::BuyMarkets : Lane::SellMarkets;
    const std::size_t m = market_index(lane);
    const Index n = allocate(resting, lane);
    links_[n].left = tail_[m];
    if (tail_[m] == NIL) {
      head_[m] = n;
    } else {
      links_[tail_[m]].right = n;
    }
    tail_[m] = n;
    return;
  }
  const Lane lane = order.side == Side::Buy ? Lane::BuyLimits : Lane::SellLimits;
  const Index n = allocate(resting, lane);
  const std::size_t t = limit_index(lane);
  const bool buys = lane == Lane::BuyLimits;
  root_[t] = tree_insert(root_[t], n, buys);
  if (first_[t] == NIL || precedes(buys, n, first_[t])) first_[t] = n;
}

std::optional<Working> Book::remove(OrderId id) {
  const Index* n = index_.find(id);
  if (n == nullptr) return std::nullopt;
  const Index at = *n;
  Working removed = orders_[at].order;
  detach(at);
  return removed;
}

void Book::replace(OrderId id, const std::optional<Working>& replacement) {
  const Index* n = index_.find(id);
  if (n == nullptr) return;
  if (replacement) {
    orders_[*n].order = *replacement;
  } else {
    detach(*n);
  }
}

const Resting* Book::find(OrderId id) const {
  const Index* n = index_.find(id);
  return n == nullptr ? nullptr : &orders_[*n];
}

const Resting* Book::front(Lane lane) const {
  Index n;
  if (lane == Lane::BuyLimits || lane == Lane::SellLimits) {
    n = first_[limit_index(lane)];
    if (n == NIL) return nullptr;
  } else {
    n = head_[market_index(lane)];
    if (n == NIL) return nullptr;
  }
  return &orders_[n];
}

std::vector<Resting> Book::orders(Lane lane) const {
  std::vector<Resting> out;
  out.reserve(count(lane));
  if (lane == Lane::BuyLimits || lane == Lane::SellLimits) {
    collect(root_[limit_index(lane)], out);
  } else {
    for (Index n = head_[market_index(lane)]; n != NIL; n = links_[n].right) {
      out.push_back(orders_[n]);
    }
  }
  return out;
}

std::size_t Book::clear() {
  const std::size_t n = size();
  links_.clear();
  orders_.clear();
  free_ = NIL;
  index_.clear();
  std::fill(std::begin(root_), std::end(root_), NIL);
  std::fill(std::begin(first_), std::end(first_), NIL);
  std::fill(std::begin(head_), std::end(head_), NIL);
  std::fill(std::begin(tail_), std::end(tail_), NIL);
  std::fill(std::begin(count_), std::end(count_), 0);
  return n;
}

Book::Index Book::allocate(const Resting& resting, Lane lane) {
  const Link link{resting.order.kind.price, resting.entry_seq, NIL, NIL, 1, lane};
  Index n;
  if (free_ != NIL) {
    n = free_;
    free_ = links_[n].right;
    links_[n] = link;
    orders_[n] = resting;
  } else {
    if (links_.size() >= NIL) panic("book holds too many orders");
    n = static_cast<Index>(links_.size());
    links_.push_back(link);
    orders_.push_back(resting);
  }
  index_.put(resting.id(), n);
  ++count_[static_cast<std::size_t>(lane)];
  return n;
}

void Book::release(Index n) {
  links_[n].left = NIL;
  links_[n].right = free_;
  free_ = n;
}

void Book::detach(Index n) {
  const Lane lane = links_[n].lane;
  if (lane == Lane::BuyLimits || lane == Lane::SellLimits) {
    const std::size_t t = limit_index(lane);
    root_[t] = tree_erase(root_[t], n, lane == Lane::BuyLimits);
    if (first_[t] == n) {
      Index first = root_[t];
      if (first != NIL) {
        while (links_[first].left != NIL) first = links_[first].left;
      }
      first_[t] = first;
    }
  } else {
    const std::size_t m = market_index(lane);
    const Index prev = links_[n].left;
    const Index next = links_[n].right;
    (prev == NIL ? head_[m] : links_[prev].right) = next;
    (next == NIL ? tail_[m] : links_[next].left) = prev;
  }
  index_.erase(orders_[n].id());
  --count_[static_cast<std::size_t>(lane)];
  release(n);
}

bool Book::precedes(bool buys, Index a, Index b) const {
  const Link& x = links_[a];
  const Link& y = links_[b];
  if (x.price != y.price) return buys ? x.price > y.price : x.price < y.price;
  return x.seq < y.seq;
}

void Book::update(Index n) {
  links_[n].height = 1 + std::max(height(links_[n].left), height(links_[n].right));
}

Book::Index Book::rotate_left(Index n) {
  const Index r = links_[n].right;
  links_[n].right = links_[r].left;
  links_[r].left = n;
  update(n);
  update(r);
  return r;
}

Book::Index Book::rotate_right(Index n) {
  const Index l = links_[n].left;
  links_[n].left = links_[l].right;
  links_[l].right = n;
  update(n);
  update(l);
  return l;
}

Book::Index Book::rebalance(Index n) {
  update(n);
  const std::int32_t lean = height(links_[n].left) - height(links_[n].right);
  if (lean > 1) {
    const Index l = links_[n].left;
    if (height(links_[l].left) < height(links_[l].right)) links_[n].left = rotate_left(l);
    return rotate_right(n);
  }
  if (lean < -1) {
    const Index r = links_[n].right;
    if (height(links_[r].right) < height(links_[r].left)) links_[n].right = rotate_right(r);
    return rotate_left(n);
  }
  return n;
}

// Recursion depth is the tree's height: under 1.45 log2 of the order count.
Book::Index Book::tree_insert(Index root, Index n, bool buys) {
  if (root == NIL) return n;
  if (precedes(buys, n, root)) {
    const Index left = tree_insert(links_[root].left, n, buys);
    links_[root].left = left;
  } else {
    const Index right = tree_insert(links_[root].right, n, buys);
    links_[root].right = right;
  }
  return rebalance(root);
}

// Requires: n is in the tree under root.  Keys are unique, so comparing with
// n's key leads straight to it.
Book::Index Book::tree_erase(Index root, Index n, bool buys) {
  if (root == n) {
    const Index left = links_[n].left;
    const Index right = links_[n].right;
    if (right == NIL) return left;
    Index first = NIL;
    const Index rest = detach_first(right, first);
    links_[first].left = left;
    links_[first].right = rest;
    return rebalance(first);
  }
  if (precedes(buys, n, root)) {
    const Index left = tree_erase(links_[root].left, n, buys);
    links_[root].left = left;
  } else {
    const Index right = tree_erase(links_[root].right, n, buys);
    links_[root].right = right;
  }
  return rebalance(root);
}

Book::Index Book::detach_first(Index root, Index& first) {
  if (links_[root].left == NIL) {
    first = root;
    return links_[root].right;
  }
  const Index left = detach_first(links_[root].left, first);
  links_[root].left = left;
  return rebalance(root);
}

void Book::collect(Index root, std::vector<Resting>& out) const {
  if (root == NIL) return;
  collect(links_[root].left, out);
  out.push_back(orders_[root]);
  collect(links_[root].right, out);
}

}  // namespace halvorn::engine
