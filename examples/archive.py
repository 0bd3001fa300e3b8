"""From an archive of daily CSV files to a backtest, with nothing downloaded.

Writes a small archive the way market data usually arrives -- a zip of daily
trade files and daily best-quote files, plus the funding history -- then:

  1. converts the zip's members into one tick file with `halvorn.data.from_csv`
     (trades and quotes merged by time, prices scaled exactly to ticks of 0.1);
  2. prices the funding rates from that file with `funding_from_csv`;
  3. runs a small mean-reversion strategy on it with `halvorn.venue.run`,
     paying taker fees and funding.

Units: prices in ticks of 0.1 USDT, quantities in lots of 0.001 BTC
(contract_size 10_000: one tick on one lot is 10_000 Cash), money in Cash
(halvorn.CASH_SCALE per USDT), times in nanoseconds, rates in billionths.

    python examples/archive.py [folder]
"""

from __future__ import annotations

import os
import random
import sys
import tempfile
import zipfile

import halvorn
from halvorn import data, venue

DAY_MS = 86_400_000
START_MS = 1_704_067_200_000  # 2024-01-01 in milliseconds
DAYS = 3


def write_archive(path: str, seed: int = 3) -> None:
    """Three days of trades (about one a second) and best quotes, as CSV."""
    rng = random.Random(seed)
    price = 421_234  # in tenths, 42123.4 USDT
    trade_id = 1
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for day in range(DAYS):
            trades = ["id,price,qty,quote_qty,time,is_buyer_maker"]
            quotes = ["update_id,best_bid_price,best_bid_qty,best_ask_price,best_ask_qty,"
                      "transaction_time,event_time"]
            t = START_MS + day * DAY_MS
            while t < START_MS + (day + 1) * DAY_MS - 2_000:
                t += rng.randint(200, 1_800)
                price += rng.choice((-2, -1, 0, 0, 1, 2))
                bid, ask = price - 1, price + rng.choice((1, 1, 2))
                quotes.append(f"{trade_id},{bid // 10}.{bid % 10},1.2,{ask // 10}.{ask % 10},0.8,"
                              f"{t - 3},{t - 2}")
                taker_sold = rng.random() < 0.5
                traded = bid if taker_sold else ask
                qty = rng.randint(1, 400)
                trades.append(f"{trade_id},{traded // 10}.{traded % 10},0.{qty:03d},0,{t},"
                              f"{'true' if taker_sold else 'false'}")
                trade_id += 1
            name = f"2024-01-{day + 1:02d}.csv"
            archive.writestr(f"trades/BTCUSDT-trades-{name}", "\n".join(trades) + "\n")
            archive.writestr(f"quotes/BTCUSDT-quotes-{name}", "\n".join(quotes) + "\n")
        funding = ["calc_time,funding_interval_hours,last_funding_rate"]
        for k in range(1, DAYS * 3):
            funding.append(f"{START_MS + k * 8 * 3_600_000},8,{rng.choice(('0.0001', '-0.00005', '0.00002500'))}")
        archive.writestr("funding/BTCUSDT-funding.csv", "\n".join(funding) + "\n")


def members(archive: zipfile.ZipFile, folder: str) -> list[str]:
    return sorted(n for n in archive.namelist() if n.startswith(folder + "/"))


class MeanReversion:
    """Buys a dip of `depth` ticks below the recent mean, sells it back at the mean."""

    def __init__(self, window: int = 300, depth: int = 6, lots: int = 50) -> None:
        self.window, self.depth, self.lots = window, depth, lots
        self.prices: list[int] = []

    def on_tick(self, ctx: halvorn.Context) -> list[halvorn.Order] | None:
        self.prices.append(ctx.last)
        if len(self.prices) > self.window:
            self.prices.pop(0)
        mean = sum(self.prices) // len(self.prices)
        if ctx.position == 0 and ctx.last <= mean - self.depth:
            return [halvorn.Order("buy", self.lots)]
        if ctx.position > 0 and ctx.last >= mean:
            return [halvorn.Order("sell", ctx.position, "close")]
        return None


def main(folder: str) -> None:
    path = os.path.join(folder, "BTCUSDT-2024-01.zip")
    write_archive(path)
    dest = os.path.join(folder, "btcusdt-2024-01.hvtk")
    with zipfile.ZipFile(path) as archive:
        trades = [archive.open(n) for n in members(archive, "trades")]
        quotes = [archive.open(n) for n in members(archive, "quotes")]
        ticks = data.from_csv(dest, trades, quotes, tick_size="0.1", lot_size="0.001")
        for f in trades + quotes:
            f.close()
        with archive.open("funding/BTCUSDT-funding.csv") as f:
            funding = data.funding_from_csv(f, ticks=ticks)
    cols = data.to_arrays(ticks)
    print(f"{ticks}: last {cols['last'][0]} .. {cols['last'][-1]} ticks, "
          f"{cols['volume'][-1]:,} lots traded, {len(funding)} funding rates")

    v = venue.Venue(taker_fee=venue.rate("0.0005"), maker_fee=venue.rate("0.0002"),
                    funding=funding, contract_size=10_000)
    run = venue.run(MeanReversion(), ticks, 10_000, venue=v, equity_every=1_000)
    print(f"{len(run.fills)} fills, fees {run.fees_paid / halvorn.CASH_SCALE:.2f} USDT, "
          f"funding {run.funding_paid / halvorn.CASH_SCALE:.2f} USDT, "
          f"final equity {run.final_equity / halvorn.CASH_SCALE:,.2f} USDT")


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(tmp)
