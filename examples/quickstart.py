"""Build a few ticks and orders and show how halvorn holds them.

Everything is an integer in the engine's own units: prices in ticks,
quantities in lots, money in 1/CASH_SCALE of a USDT.
"""

import halvorn


def main() -> None:
    ticks = [
        halvorn.Tick(exch_ts=1_000_000_000 * i, last=600_000 + 5 * i, bid=600_000 + 5 * i - 1,
                     ask=600_000 + 5 * i + 1, volume=10 * i)
        for i in range(5)
    ]
    for t in ticks:
        print(t)
    orders = [halvorn.Order("buy", 2), halvorn.Order("sell", 2, "close", price=600_030)]
    for o in orders:
        print(o)
    print("one USDT is", halvorn.CASH_SCALE, "cash units")


if __name__ == "__main__":
    main()
