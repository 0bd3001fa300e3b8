"""Each binding function's signature is written once, in the library's table
of it; the text signature the interpreter reads is made from that table.  The
stubs are written by hand: these tests hold them, and what inspect reports, to
the table, so that a stub that drifts (a parameter renamed, its kind or
default changed) fails here rather than in a user's type checker."""

import ast
import importlib
import inspect
import pathlib

import pytest

import halvorn
import halvorn.data._native as native
from halvorn import venue

PACKAGE = pathlib.Path(halvorn.__file__).parent
TABLE = venue._signatures()


def resolve(qualname):
    """The object a qualified name names, and the module that holds it."""
    parts = qualname.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            module = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        obj = module
        for name in parts[cut:]:
            obj = getattr(obj, name)
        return obj, module
    raise LookupError(qualname)


def stub_definition(qualname, module):
    """The stub's definition of a function, a method, or a class's
    constructor (its __new__ or __init__), and whether it takes cls or self."""
    place = PACKAGE.joinpath(*module.__name__.split(".")[1:])
    stub_file = place / "__init__.pyi" if place.is_dir() else place.with_suffix(".pyi")
    scope = ast.parse(stub_file.read_text()).body
    node = None
    for name in qualname[len(module.__name__) + 1:].split("."):
        found = [n for n in scope
                 if isinstance(n, (ast.FunctionDef, ast.ClassDef)) and n.name == name]
        assert found, f"{stub_file.name} has no {name} ({qualname})"
        node = found[-1]
        scope = node.body if isinstance(node, ast.ClassDef) else []
    if isinstance(node, ast.ClassDef):
        ctors = [n for n in node.body
                 if isinstance(n, ast.FunctionDef) and n.name in ("__new__", "__init__")]
        assert ctors, f"{stub_file.name} gives {qualname} no constructor"
        return ctors[0], True
    return node, qualname.count(".") > module.__name__.count(".") + 1


def parameters(function, bound):
    """(name, kind, default text or None) of each parameter, "..." for a
    default the stub leaves out; cls or self dropped."""
    args = function.args
    ordered = [(a, "POSITIONAL_ONLY") for a in args.posonlyargs]
    ordered += [(a, "POSITIONAL_OR_KEYWORD") for a in args.args]
    defaults = [None] * (len(ordered) - len(args.defaults)) + list(args.defaults)
    ordered += [(a, "KEYWORD_ONLY") for a in args.kwonlyargs]
    defaults += list(args.kw_defaults)
    out = [(a.arg, kind, None if d is None else ast.unparse(d))
           for (a, kind), d in zip(ordered, defaults)]
    return out[1:] if bound else out


def normal(text):
    return None if text is None else ast.unparse(ast.parse(text, mode="eval"))


def test_the_table_covers_the_bindings():
    names = [entry[0] for entry in TABLE]
    assert len(set(names)) == len(names), "a signature is registered twice"
    for expected in ("halvorn.run_backtest", "halvorn.Tick", "halvorn.sharpe_ratio",
                     "halvorn.save_ticks", "halvorn.venue.run", "halvorn.venue.Venue",
                     "halvorn.venue.Instrument.to_ticks", "halvorn.venue.L2",
                     "halvorn.venue.Compiled"):
        assert expected in names


@pytest.mark.parametrize("module", [halvorn, venue, native], ids=lambda m: m.__name__)
def test_every_function_that_shows_a_signature_takes_it_from_the_table(module):
    # A function, constructor or method whose docstring leads with a text
    # signature written by hand would escape the stub check below.
    tabled = {id(resolve(entry[0])[0]) for entry in TABLE}
    hand_written = []
    for name, obj in vars(module).items():
        if name.startswith("_") or not callable(obj):
            continue
        members = [(name, obj)]
        if isinstance(obj, type):
            members += [(f"{name}.{m}", f) for m, f in vars(obj).items()
                        if not m.startswith("_") and callable(f)]
        hand_written += [qualname for qualname, member in members
                         if getattr(member, "__text_signature__", None) is not None
                         and id(member) not in tabled]
    assert hand_written == []


@pytest.mark.parametrize("qualname, text, stub_line, params", TABLE,
                         ids=[entry[0] for entry in TABLE])
def test_stub_and_inspect_agree_with_the_table(qualname, text, stub_line, params):
    obj, module = resolve(qualname)
    method = stub_line == "self" or stub_line.startswith("self,")

    # What inspect reports: the table's names, kinds and defaults (a
    # method's self aside).  A class that sets its own __signature__ has
    # objects for defaults: the table's text, evaluated in its module, gives
    # an equal one.
    reported = list(inspect.signature(obj).parameters.values())[1 if method else 0:]
    assert [(p.name, p.kind.name) for p in reported] == [(n, k) for n, k, _ in params]
    for p, (_, _, default) in zip(reported, params):
        expected = inspect.Parameter.empty if default is None else eval(default, vars(module))
        assert p.default == expected, p.name
    if "__signature__" not in getattr(obj, "__dict__", {}):
        assert qualname.rsplit(".", 1)[-1] + obj.__text_signature__ == text

    # What the stub says: the table's stub line, its annotations aside; a
    # default the stub writes as "..." stands for any.
    node, bound = stub_definition(qualname, module)
    written = parameters(node, bound)
    table = parameters(ast.parse(f"def f({stub_line}): pass").body[0], method)
    assert [(n, k) for n, k, _ in written] == [(n, k) for n, k, _ in table], \
        f"the stub of {qualname} drifted from its table"
    for (name, _, stub_default), (_, _, default) in zip(written, table):
        if stub_default != "...":
            assert normal(stub_default) == normal(default), f"{qualname}: {name}'s default"
    assert [(n, k, normal(d)) for n, k, d in table] == [(n, k, normal(d)) for n, k, d in params]


def test_an_argument_given_where_it_no_longer_stands_warns_how_to_write_it():
    # The advice is made from the table: the plain parameters, then those
    # now taken by keyword (the first two and "..." when there are more).
    ticks = [halvorn.Tick(i, 100, bid=99, ask=101) for i in range(3)]

    class Idle:
        def on_tick(self, ctx):
            return None

        def on_batch(self, batch):
            return None

    calls = [
        (lambda: venue.run(Idle(), ticks, 1_000, None, 1),
         "run(strategy, ticks, balance, venue=..., batch=..., ...)"),
        (lambda: venue.compare_modes(Idle, ticks, 1_000, 2, None),
         "compare_modes(build, ticks, balance, batch, venue=..., depth=...)"),
        (lambda: venue.lookahead_check(lambda known: Idle(), ticks, 1_000, 5),
         "lookahead_check(build, ticks, balance, max_points=..., venue=...)"),
        (lambda: venue.FundingRate(10, 1, 2), "FundingRate(time=..., rate=..., price=...)"),
    ]
    for call, written in calls:
        with pytest.warns(DeprecationWarning) as caught:
            call()
        assert str(caught[0].message).endswith("write " + written)
