"""halvorn.data.from_arrow against an independent reading of the same table.

The reference takes the table's values as Python objects (pyarrow's own
to_pylist) and scales them with Decimal, so every tick written from an Arrow
IPC file -- in several record batches, compressed or not, as a file or as a
stream, sliced into batches smaller than the file's -- is checked against
arithmetic that shares nothing with the converter.
"""

import random
from datetime import datetime, timedelta
from decimal import Decimal

import pyarrow as pa
import pyarrow.feather as feather
import pytest

from halvorn import data, venue

BTC = venue.Instrument("BTCUSDT", "0.01", "0.001")


def table(seed, n=700):
    rng = random.Random(seed)
    ticks = [4_200_000 + rng.randrange(-500, 500) for _ in range(n)]
    return pa.table({
        "time": pa.array([1_704_067_200_000 + 3 * i for i in range(n)], pa.timestamp("ms")),
        "price": [t / 100 for t in ticks],                                    # float64
        "bid": pa.array([Decimal(t - 1).scaleb(-2) for t in ticks], pa.decimal128(12, 2)),
        "ask": [f"{Decimal(t + 1).scaleb(-2)}" for t in ticks],               # decimal text
        "amount": [f"0.{rng.randrange(1, 999):03d}" for _ in range(n)],
        "local": pa.array([1_704_067_200_000_000 + 3_000 * i + 7 for i in range(n)], pa.int64()),
    })


def reference(t):
    rows = t.to_pylist()
    volume = 0
    out = []
    for row in rows:
        volume += int(Decimal(row["amount"]) / Decimal("0.001"))
        ns = (row["time"] - datetime(1970, 1, 1)) // timedelta(microseconds=1) * 1000
        price = int(Decimal(repr(row["price"])) / Decimal("0.01"))
        out.append((ns, row["local"] * 1000, price, price, price,
                    int(row["bid"] / Decimal("0.01")), int(Decimal(row["ask"]) / Decimal("0.01")),
                    volume))
    return out


COLUMNS = {"exch_ts": "time", "local_ts": "local", "last": "price", "bid": "bid", "ask": "ask",
           "qty": "amount"}


@pytest.mark.parametrize("seed, form", [(0, "file"), (1, "compressed file"), (2, "stream")])
def test_ticks_equal_the_reference_reading(tmp_path, seed, form):
    t = table(seed)
    path = str(tmp_path / "t.arrow")
    if form == "stream":
        with pa.OSFile(path, "wb") as sink, pa.ipc.new_stream(sink, t.schema) as writer:
            writer.write_table(t, max_chunksize=128)
    else:
        feather.write_feather(t, path, chunksize=256,
                              compression="zstd" if form == "compressed file" else "uncompressed")
    source = data.from_arrow(str(tmp_path / "t.hvtk"), path, instrument=BTC, columns=COLUMNS,
                             time_unit="us", batch_rows=100)
    cols = data.to_arrays(source)
    got = list(zip(*(cols[name].tolist() for name in data.FIELDS)))
    assert got == reference(t)
    assert data.instrument_of(source) == BTC


def test_what_from_parquet_refuses_from_arrow_refuses_at_the_same_row(tmp_path):
    t = pa.table({"time": [1, 2, 3], "price": ["1.00", None, "1.02"]})
    feather.write_feather(t, str(tmp_path / "n.feather"))
    with pytest.raises(ValueError, match=r"n.feather:2: column price is empty \(null\)"):
        data.from_arrow(str(tmp_path / "n.hvtk"), str(tmp_path / "n.feather"), instrument=BTC,
                        columns={"exch_ts": "time", "last": "price"})
    (tmp_path / "x.feather").write_bytes(b"PAR1 not an arrow file")
    with pytest.raises(ValueError, match="x.feather: not an Arrow IPC file or stream"):
        data.from_arrow(str(tmp_path / "x.hvtk"), str(tmp_path / "x.feather"), instrument=BTC)
    assert not (tmp_path / "n.hvtk").exists() and not (tmp_path / "x.hvtk").exists()
