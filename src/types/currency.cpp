#include "types/currency.hpp"

#include <algorithm>

namespace halvorn {

std::string Currency::code() const {
  std::string s;
  for (char b : bytes) {
    if (b == 0) break;
    s.push_back(b);
  }
  return s;
}

Balances Balances::of(Currency currency, Cash amount) {
  Balances b;
  b.entries.emplace_back(currency, amount);
  return b;
}

namespace {

template <class Entries>
auto lower_bound_of(Entries& entries, Currency currency) {
  return std::lower_bound(entries.begin(), entries.end(), currency,
                          [](const auto& entry, Currency c) { return entry.first < c; });
}

}  // namespace

void Balances::add(Currency currency, Cash amount) {
  auto it = lower_bound_of(entries, currency);
  if (it != entries.end() && it->first == currency) {
    it->second = add_sat(it->second, amount);
  } else {
    entries.insert(it, {currency, amount});
  }
}

Cash Balances::get(Currency currency) const {
  auto it = lower_bound_of(entries, currency);
  return it != entries.end() && it->first == currency ? it->second : 0;
}

}  // namespace halvorn
