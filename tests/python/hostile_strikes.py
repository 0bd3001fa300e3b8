"""The hostile objects the recipes of hostile_recipes.py are made of: numbers,
pairs, strategies and files that strike (empty every container holding them
and every dict holding those) when the binding converts or calls them, and
fresh values that only the call holds.
"""

import gc
import io
import os

import halvorn
from halvorn import data, venue
from halvorn.data import _native


def is_namespace(d):
    return "__name__" in d or "__module__" in d or "__builtins__" in d


def empty_holders(obj, levels=2):
    """Empties every list and (non-namespace) dict holding `obj`, and every one
    holding those, `levels` deep."""
    frontier = [obj]
    for _ in range(levels):
        found = []
        for held in frontier:
            for holder in gc.get_referrers(held):
                if holder is frontier or holder is found:
                    continue
                if type(holder) is list or (type(holder) is dict and not is_namespace(holder)):
                    found.append(holder)
        for holder in found:
            holder.clear()
        frontier = found


def empty_run_calls():
    """Empties the keyword dict of every run in progress (and every other dict
    that names ticks and a balance)."""
    for obj in gc.get_objects():
        if type(obj) is dict and "ticks" in obj and "balance" in obj and not is_namespace(obj):
            obj.clear()


class Strike:
    """Something that sabotages once, then behaves."""

    strikes = 0  # in this process, so that a variant can tell it was reached

    def __init__(self, also=(), armed=True):
        self.struck = not armed
        self.also = also

    def strike(self):
        if not self.struck:
            self.struck = True
            Strike.strikes += 1
            empty_holders(self)
            empty_run_calls()
            for act in self.also:
                try:
                    act()
                except Exception:
                    pass


class HostileInt(Strike):
    def __init__(self, value, also=()):
        super().__init__(also)
        self.value = value

    def __index__(self):
        self.strike()
        return self.value

    __int__ = __index__


class HostileFloat(Strike):
    def __init__(self, value, also=()):
        super().__init__(also)
        self.value = value

    def __float__(self):
        self.strike()
        return float(self.value)


class HostilePair(Strike):
    """A (price, qty) pair that is a sequence but not a tuple: its __len__
    strikes."""

    def __init__(self, pair):
        super().__init__()
        self.pair = list(pair)

    def __len__(self):
        self.strike()
        return len(self.pair)

    def __getitem__(self, i):
        return self.pair[i]


class Vandal(Strike):
    """A strategy that buys and sells in turn, and strikes on its first call."""

    name = "vandal"

    def __init__(self, armed=True):
        super().__init__(armed=armed)
        self.calls = 0

    def decide(self, position):
        self.strike()
        self.calls += 1
        return [halvorn.Order("sell" if position > 0 else "buy", 1)]

    def on_tick(self, ctx):
        return self.decide(ctx.position)

    def on_batch(self, ticks):
        return self.decide(self.position)

    def on_fill(self, fill):
        self.strike()


class VandalDesk(Vandal):
    """A strategy that returns every kind of the venue's orders, and strikes
    on its first call and whenever it hears how an order ended."""

    def decide(self, position):
        self.strike()
        self.calls += 1
        side, other = ("sell", "buy") if position > 0 else ("buy", "sell")
        step = 10 if side == "buy" else -10
        return [
            venue.BracketOrder(venue.Order(side, 1, tag=text("entry")),
                               stop_loss=venue.Stop(other, trigger=600_002 - step),
                               take_profit=venue.TakeProfit(other, trigger=600_002 + step)),
            venue.OneCancelsOther(venue.Order(side, 1, price=600_002 - step, post_only=True),
                                  venue.TrailingStop(side, 1, distance=3, reduce_only=False)),
            venue.Order(side, 1, price=600_002 + step, tif="ioc"),
            venue.ClosePosition(other),
        ]

    def on_end(self, order_id, how):
        self.strike()


class VandalBuild(Strike):
    """A build callable that strikes when first called."""

    def __call__(self, *args, **kwargs):
        armed = not self.struck
        self.strike()
        return Vandal(armed=armed)


class VandalProgress(Strike):
    def __init__(self, armed=True):
        super().__init__(armed=armed)

    def __call__(self, *args):
        self.strike()


class ShrinkingFile(Strike):
    """A binary file whose readinto fills the buffer, releases it, shrinks the
    array beneath it, and claims the whole size was read."""

    def __init__(self, payload):
        super().__init__()
        self.source = io.BytesIO(payload)

    def readinto(self, view):
        chunk = self.source.read(len(view))
        view[: len(chunk)] = chunk
        if chunk:
            target = view.obj
            view.release()
            try:
                del target[:]
            except (BufferError, TypeError):
                pass
            self.strike()
        return len(chunk)

    def read(self, n=-1):
        return self.source.read(n)


# --- fresh values ---------------------------------------------------------------------


def fresh(n):
    """An int object of our own (not a cached small int), so freeing it is real."""
    return int(str(n))


def text(s):
    return "".join(list(s))


def ticks(n=40):
    return [halvorn.Tick(exch_ts=fresh(1_000 + i), last=fresh(600_000 + i % 5),
                         bid=fresh(599_999), ask=fresh(600_001), volume=fresh(10 * i))
            for i in range(n)]


def tick_file(tmp, name="t.hvtk", n=40):
    path = os.path.join(tmp, name)
    halvorn.save_ticks(path, ticks(n))
    return path


def depth_file(tmp):
    path = os.path.join(tmp, "d.hvdp")
    data.save_depth(path, [data.Snapshot(100, [(599_999, 5)], [(600_001, 5)], time_ns=0)])
    return path


TRADES_CSV = (b"id,price,qty,quote_qty,time,is_buyer_maker\n"
              + b"".join(b"%d,60000.%d,0.00%d,1.0,%d,true\n" % (i, i % 10, 1 + i % 9,
                                                               1_700_000_000_000 + i)
                         for i in range(200)))
FUNDING_CSV = (b"calc_time,funding_interval_hours,last_funding_rate\n"
               b"1700000000000,8,0.00010000\n1700028800000,8,-0.00020000\n")
DEPTH_CSV = b"symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty\n"


# --- the calls of a recipe -------------------------------------------------------------


def public_callables():
    """Every public callable and every public method of a public class, by
    object: the set of qualified names each is reachable by."""
    names = {}
    for module in (halvorn, venue, data, _native):
        exported = getattr(module, "__all__", None) or [n for n in dir(module)
                                                          if not n.startswith("_")]
        for name in exported:
            obj = getattr(module, name)
            if not callable(obj):
                continue
            qualified = f"{module.__name__}.{name}"
            names.setdefault(id(obj), (obj, set()))[1].add(qualified)
            if isinstance(obj, type):
                for attr, value in vars(obj).items():
                    if not attr.startswith("_") and callable(value):
                        names.setdefault(id(value), (value, set()))[1].add(f"{qualified}.{attr}")
    return [aliases for _, aliases in names.values()]


def variants(recipe, tmp):
    """The valid call, then one call per hostile argument; each a zero-argument
    callable that makes its objects fresh."""
    def valid():
        function, kwargs, _ = recipe(tmp)
        return function(**kwargs)
    yield "valid", valid
    _, _, hostile = recipe(tmp)
    for name in list(hostile):  # a strike may empty any dict, this one too
        def call(name=name):
            # "ticks (lists)": another hostile form of the argument ticks.
            argument = name.split(" (")[0]
            function, kwargs, makers = recipe(tmp)
            kwargs[argument] = makers[name](kwargs.get(argument))
            return function(**kwargs)
        yield name, call
