// The standard normal distribution function and its inverse.
//
// Both map every input to a number -- NaN or an infinity where the
// mathematics gives no finite answer -- so the statistics built on them need
// no error path of their own here.  The evaluation order is fixed, which
// fixes the last bits of every probability the statistics report.
//
// Thread-safety: pure functions.

#pragma once

namespace halvorn::stats {

// Phi(x).  Hart's rational approximation in the centre; in the tails, where
// the rational form loses relative accuracy, a continued fraction for the
// ratio of the tail to the density.  Phi(0) is exactly 0.5; beyond |x| > 37
// the result is exactly 0 or 1; NaN gives NaN.
double cdf(double x);

// Phi^-1(p).  Acklam's rational approximation followed by one Halley step
// against cdf, so the two functions agree with each other to about the last
// bit.  NaN, p < 0 and p > 1 give NaN; p = 0 gives -inf and p = 1 gives +inf.
double inverse_cdf(double p);

}  // namespace halvorn::stats
