"""python -m halvorn.data convert: a folder of daily files into one tick file."""

import gzip
import io
import subprocess
import sys
import zipfile

import pytest

from halvorn import data

HEADER = b"id,price,qty,quote_qty,time,is_buyer_maker\n"


def day(d, n=50):
    t0 = 1_700_000_000_000 + d * 86_400_000
    return HEADER + b"".join(b"%d,%d.%d,0.00%d,0,%d,%s\n" % (d * n + i, 42000 + i, i % 10, i % 9 + 1,
                                                             t0 + i, b"true" if i % 2 else b"false")
                             for i in range(n))


def cli(*args, timeout=120):
    return subprocess.run([sys.executable, "-m", "halvorn.data", *args], capture_output=True,
                          text=True, timeout=timeout)


def test_a_folder_of_csv_gz_and_zip_files_in_name_order(tmp_path):
    folder = tmp_path / "trades"
    folder.mkdir()
    days = [day(d) for d in range(5)]
    (folder / "2024-01-01.csv").write_bytes(days[0])
    (folder / "2024-01-02.csv.gz").write_bytes(gzip.compress(days[1]))
    with zipfile.ZipFile(folder / "2024-01-03.zip", "w") as z:
        z.writestr("b.csv", days[3])  # members in name order: a before b
        z.writestr("a.csv", days[2])
    (folder / "2024-01-05.csv").write_bytes(days[4])
    (folder / "notes.txt").write_text("not data")
    quotes = tmp_path / "quotes.csv"
    quotes.write_bytes(b"1,42000.0,1,42000.9,1,1700000000000,1\n")
    dest = tmp_path / "out.hvtk"
    done = cli("convert", str(folder), str(dest), "--tick-size", "0.1", "--lot-size", "0.001",
               "--quotes", str(quotes), "--no-progress")
    assert done.returncode == 0, done.stderr
    # The quote shares the first trade's time, so its tick comes after that trade's.
    assert done.stderr.startswith(f"wrote {dest}: 251 ticks, 250 of trades and 1 of quotes")
    # The one quote is days old by the last trades, and the trades move off
    # it: the CLI notes both, from_csv warns of both.
    assert ("note: 200 of 251 ticks were made when the latest quote was older than 1 min and had "
            "their bid and ask cleared") in done.stderr
    assert "(do the quotes end, or pause, before the trades?); --stale-quotes keep keeps them" in (
        done.stderr)
    assert "note: 7 trades were priced outside the bid and ask they carry by more than 10 bp" in (
        done.stderr)
    with pytest.warns(UserWarning) as seen:
        want = data.from_csv(str(tmp_path / "ref.hvtk"), [io.BytesIO(d) for d in days],
                             io.BytesIO(quotes.read_bytes()), tick_size="0.1", lot_size="0.001")
    said = [str(w.message) for w in seen]
    assert said[0].startswith("from_csv: 200 of 251 ticks were made when the latest quote was "
                              "older than 1 min and had their bid and ask cleared")
    assert said[0].endswith('; stale_quotes="keep" keeps them')
    assert said[1].startswith("from_csv: 7 trades were priced outside")
    assert dest.read_bytes() == (tmp_path / "ref.hvtk").read_bytes()
    assert len(want) == 251
    # A glob pattern picks the same way.
    glob_dest = tmp_path / "glob.hvtk"
    done = cli("convert", str(folder / "2024-01-0[15].csv"), str(glob_dest), "--tick-size", "0.1",
               "--lot-size", "0.001", "--progress")
    assert done.returncode == 0, done.stderr
    assert "bytes" in done.stderr  # the bar, drawn on standard error
    assert len(data.to_arrays(str(glob_dest))["last"]) == 100


def test_bad_data_is_one_line_and_status_1_and_writes_nothing(tmp_path):
    folder = tmp_path / "trades"
    folder.mkdir()
    (folder / "a.csv").write_bytes(day(0))
    (folder / "b.csv.gz").write_bytes(gzip.compress(day(1).replace(b"42003.3", b"42003.35")))
    (folder / "c.csv.gz").write_bytes(gzip.compress(day(2))[:-20])  # cut short
    dest = tmp_path / "out.hvtk"
    done = cli("convert", str(folder), str(dest), "--tick-size", "0.1", "--lot-size", "0.001")
    assert done.returncode == 1
    assert done.stderr == (f'python -m halvorn.data: error: {folder / "b.csv.gz"}:5: column price: '
                           '"42003.35" is not a whole number of ticks of 0.1; a tick size of 0.01 '
                           'fits it and every price before it\n')
    (folder / "b.csv.gz").write_bytes(gzip.compress(day(1)))
    done = cli("convert", str(folder), str(dest), "--tick-size", "0.1", "--lot-size", "0.001")
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith(f"python -m halvorn.data: error: {folder / 'c.csv.gz'}: ")
    assert not dest.exists() and sorted(p.name for p in tmp_path.iterdir()) == ["trades"]


@pytest.mark.parametrize("args, message", [
    (["--tick-size", "0", "--lot-size", "1"], "argument --tick-size: '0' is not a positive"),
    (["--tick-size", "1", "--lot-size", "1", "--layout", "ticks"], "argument --layout: invalid"),
    (["--tick-size", "1", "--lot-size", "1", "--sort-window", "-2"], "argument --sort-window"),
    (["--lot-size", "1"], "the following arguments are required: --tick-size"),
])
def test_bad_arguments_are_status_2(tmp_path, args, message):
    (tmp_path / "a.csv").write_bytes(day(0))
    done = cli("convert", str(tmp_path), str(tmp_path / "out.hvtk"), *args)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr


def test_a_folder_without_data_files_is_a_bad_argument(tmp_path):
    done = cli("convert", str(tmp_path), str(tmp_path / "out.hvtk"), "--tick-size", "1",
               "--lot-size", "1")
    assert done.returncode == 2
    assert done.stderr == (f"python -m halvorn.data: error: no .csv, .csv.gz or .zip files in "
                           f"trades {str(tmp_path)!r}\n")


def test_an_inverse_contract_is_kept_in_the_file_and_a_half_one_refused(tmp_path):
    trades = tmp_path / "xbt.csv"
    trades.write_bytes(b"exchange,symbol,timestamp,local_timestamp,id,side,price,amount\n"
                       b"ex,XBTUSD,1704067200000000,1704067200000150,t1,buy,42000.5,1500\n")
    dest = tmp_path / "xbt.hvtk"
    common = ("convert", str(trades), str(dest), "--tick-size", "0.5", "--lot-size", "1",
              "--kind", "inverse", "--no-progress")
    done = cli(*common, "--contract-value", "1", "--settle", "XBT")
    assert done.returncode == 0, done.stderr
    assert data.read_definition(str(dest)) == data.Definition(1, "", "0.5", "1", "inverse", "1",
                                                              "XBT")
    dest.unlink()
    done = cli(*common, "--contract-value", "1")
    assert done.returncode == 1
    assert "an inverse contract needs a contract_value and a settle coin" in done.stderr
    assert not dest.exists()
