// Overloaded{f, g, ...}: one callable made of several lambdas, for visiting
// a std::variant with a case per alternative.
//
// Thread-safety: a plain aggregate of the lambdas it is made of.

#pragma once

namespace halvorn {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace halvorn
