"""Hostile recipes for the values halvorn.venue takes in an instrument's units.

A price, a quantity or a rate may be given as decimal text, a float or a
decimal.Decimal; a Decimal is written out with str(), and an int counted with
__index__, both of which run Python code in the middle of the conversion.
These recipes give the conversions a Decimal whose str() strikes (see
hostile_recipes.Strike), and run strategies that return orders in units and
read the views in units while they strike.  hostile_recipes.py adds them to
its RECIPES with `add`.
"""

import decimal

from halvorn import venue


def add(kit, recipes, nothing_to_convert):
    """Adds the recipes of this module to `recipes`, made of the helpers of
    `kit` (the hostile_recipes module); the classes that convert nothing to
    `nothing_to_convert`."""

    class HostileDecimal(decimal.Decimal, kit.Strike):
        """A Decimal whose str() strikes."""

        def __init__(self, text):
            kit.Strike.__init__(self)

        def __str__(self):
            self.strike()
            return decimal.Decimal.__str__(self)

    eth = venue.Instrument("ETHUSDT", "0.01", "0.001")

    def hostile_decimal(given):
        return HostileDecimal(str(given))

    class VandalInUnits(kit.Vandal):
        """Trades in units on an Instrument's venue, reading the views in
        units, and strikes on its first call."""

        def on_tick(self, ctx):
            self.strike()
            self.calls += 1
            u, f = ctx.units, ctx.floats
            side = "sell" if u.position > 0 else "buy"
            step = decimal.Decimal("0.10") if side == "buy" else decimal.Decimal("-0.10")
            return [venue.Order(side, "0.001", price=u.ask if side == "buy" else f.bid),
                    venue.BracketOrder(venue.Order(side, 0.001),
                                       stop_loss=venue.Stop("sell" if side == "buy" else "buy",
                                                            trigger=u.last - step),
                                       take_profit=venue.TakeProfit(
                                           "sell" if side == "buy" else "buy",
                                           trigger=u.last + step)),
                    venue.TrailingStop(side, "0.001", distance="0.03", rounding="down")]

        def on_batch(self, ticks):
            self.strike()
            self.calls += 1
            return [venue.Order("buy" if self.position <= 0 else "sell", "0.001")]

    def units_run(tmp):
        kwargs = dict(strategy=VandalInUnits(armed=False), ticks=kit.ticks(),
                      balance=kit.text("100000.5"), venue=venue.Venue(instrument=eth),
                      equity_every=kit.fresh(3))
        return venue.run, kwargs, {"strategy": lambda _: VandalInUnits()}

    for name in ("rate", "percent", "bps"):
        function = getattr(venue, name)
        recipes[f"halvorn.venue.{name}"] = (
            lambda tmp, function=function: (
                lambda value: function(value), dict(value=decimal.Decimal("0.0004")),
                {"value": hostile_decimal, "value (an int)": lambda _: kit.HostileInt(1)}))
    recipes["halvorn.venue.Order (units)"] = lambda tmp: (venue.Order, dict(
        side=kit.text("buy"), qty=decimal.Decimal("0.5"), price=decimal.Decimal("2450.17"),
        rounding=kit.text("down")), {"qty": hostile_decimal, "price": hostile_decimal})
    recipes["halvorn.venue.Stop (units)"] = lambda tmp: (venue.Stop, dict(
        side=kit.text("sell"), qty=decimal.Decimal("0.5"), trigger=decimal.Decimal("2400"),
        price=decimal.Decimal("2399.5")), {"qty": hostile_decimal, "trigger": hostile_decimal,
                                           "price": hostile_decimal})
    recipes["halvorn.venue.TrailingStop (units)"] = lambda tmp: (venue.TrailingStop, dict(
        side=kit.text("sell"), distance=decimal.Decimal("5.5"),
        activation=decimal.Decimal("2500")), {"distance": hostile_decimal,
                                              "activation": hostile_decimal})
    recipes["halvorn.venue.Instrument.to_ticks (a Decimal)"] = lambda tmp: (
        lambda price: eth.to_ticks(price), dict(price=decimal.Decimal("2450.17")),
        {"price": hostile_decimal})
    recipes["halvorn.venue.run (units)"] = units_run
    nothing_to_convert.difference_update({"halvorn.venue.rate", "halvorn.venue.percent",
                                          "halvorn.venue.bps"})
    # Handed out by runs, never made from Python.
    nothing_to_convert.update({"halvorn.venue.Context", "halvorn.venue.Units",
                               "halvorn.venue.ModeComparison", "halvorn.venue.LookaheadReport"})
