"""Prints the reference tables of normal_test.cpp.

The values are the exact normal distribution function and its inverse,
evaluated with mpmath at 60 significant digits for the exact double given as
input, and printed to 17 significant digits (enough to pin the nearest
double).  Run: python3 tests/cpp/stats/normal_reference.py
"""

import mpmath as mp

mp.mp.dps = 60

CDF_POINTS = [
    -37.0, -30.0, -25.0, -20.0, -12.0, -10.0, -8.0, -7.5, -7.071067811865475, -7.07,
    -6.0, -5.0, -4.0, -3.0, -2.5, -2.0, -1.0, -0.5, -0.1, -1e-8,
]

INVERSE_POINTS = [
    1e-300, 1e-100, 1e-50, 1e-20, 1e-10, 1e-5, 0.001, 0.01, 0.02, 0.02425, 0.05, 0.1,
    0.3, 0.45, 0.55, 0.7, 0.9, 0.95, 0.97575, 0.98, 0.999, 0.999999, 1 - 2**-40,
]


def show(v):
    return mp.nstr(v, 17, min_fixed=1, max_fixed=0)


def inverse(p):
    big_p = mp.mpf(p)
    if big_p > mp.mpf("1e-10"):
        return mp.sqrt(2) * mp.erfinv(2 * big_p - 1)
    # Deep in the lower tail erfinv(2p - 1) would need 2p - 1 to hundreds of
    # digits; solve log Phi(x) = log p instead, which is well scaled (a root
    # of Phi(x) - p itself would pass any tolerance once Phi(x) is tiny).
    start = -mp.sqrt(-2 * mp.log(big_p))
    target = mp.log(big_p)
    return mp.findroot(lambda x: mp.log(mp.ncdf(x)) - target, start, tol=mp.mpf(10) ** -50)


print("const Reference CDF_REFERENCE[] = {")
for x in CDF_POINTS:
    print(f"    {{{x!r}, {show(mp.ncdf(mp.mpf(x)))}}},")
print("};")
print("const Reference INVERSE_REFERENCE[] = {")
for p in INVERSE_POINTS:
    print(f"    {{{p!r}, {show(inverse(p))}}},")
print("};")
