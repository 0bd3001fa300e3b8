"""examples/portfolio_spread.py trades both legs of its spread in one account,
each on its own instrument's prices, fees and funding, prints totals that
agree with the run and writes its page."""

import contextlib
import importlib.util
import io
import pathlib
import re
import subprocess
import sys

import pytest

import halvorn

numpy = pytest.importorskip("numpy")
pytest.importorskip("pandas", reason="the example's page needs halvorn[report]")
pytest.importorskip("plotly", reason="the example's page needs halvorn[report]")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "portfolio_spread.py"


@pytest.fixture(scope="module")
def example():
    found = importlib.util.spec_from_file_location("portfolio_spread", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def ran(example, tmp_path_factory):
    folder = tmp_path_factory.mktemp("portfolio")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        run = example.main(str(folder))
    return run, out.getvalue().splitlines(), folder


def test_both_legs_trade_on_their_own_instruments(example, ran):
    run, _, _ = ran
    assert run.symbols == ("BTCUSDT", "ETHUSDT")
    fills = numpy.asarray(run.fills)
    btc, eth = (fills[fills["instrument"] == number] for number in (1, 2))
    # Every decision moves both legs, so each trades about as often.
    assert len(btc) > 10 and abs(len(btc) - len(eth)) <= 1
    assert len(btc) + len(eth) == len(fills)
    # Each leg at its own prices, for about the same notional.
    assert 350_000 < btc["price"].min() and btc["price"].max() < 500_000
    assert 180_000 < eth["price"].min() and eth["price"].max() < 280_000
    for legs, instrument, rate in ((btc, example.BTC, 500_000), (eth, example.ETH, 400_000)):
        notional = legs["price"] * legs["qty"] * instrument.contract_size
        assert ((2_000 * halvorn.CASH_SCALE < notional) & (notional < 4_000 * halvorn.CASH_SCALE)
                ).all()
        # Each charged its own venue's taker rate.
        assert (numpy.abs(legs["fee"] - notional * rate // 10**9) <= 1).all()


def test_per_instrument_totals_make_up_the_account(ran):
    run, _, _ = ran
    legs = run.per_instrument
    fills = numpy.asarray(run.fills)
    assert [leg.fees for leg in legs] == [int(fills["fee"][fills["instrument"] == n].sum())
                                          for n in (1, 2)]
    assert sum(leg.fees for leg in legs) == run.fees_paid > 0
    assert sum(leg.realized for leg in legs) == run.realized
    assert sum(leg.funding for leg in legs) == run.funding_paid
    assert [leg.ticks for leg in legs] == [6 * 3_600] * 2 and run.ticks == 2 * 6 * 3_600


def test_the_printout_agrees_with_the_run(ran):
    run, lines, folder = ran
    assert lines[0] == "43,200 ticks of BTCUSDT, ETHUSDT over 6 hours"
    table = {line.split()[0]: line.split()[1:] for line in lines[2:5]}
    fills = numpy.asarray(run.fills)
    money = lambda cash: f"{cash / halvorn.CASH_SCALE:,.4f}"  # noqa: E731
    for number, leg in enumerate(run.per_instrument, 1):
        assert table[leg.symbol] == [f"{(fills['instrument'] == number).sum():,}",
                                     money(leg.realized), money(leg.fees), money(leg.funding)]
    assert table["account"] == [f"{len(fills):,}", money(run.realized), money(run.fees_paid),
                                money(run.funding_paid)]
    assert lines[5].startswith(f"final equity {money(run.final_equity)} USDT from 10,000.00")
    page = folder / "portfolio_spread.html"
    assert lines[6] == f"report written to {page}"
    text = page.read_text(encoding="utf-8")
    assert re.search(r"<h2>Instruments</h2>.*<td>BTCUSDT</td>.*<td>ETHUSDT</td>", text, re.S)


def test_the_example_is_strictly_typed(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                           str(tmp_path / "cache"), str(EXAMPLE)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
