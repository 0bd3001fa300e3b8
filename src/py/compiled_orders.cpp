#include "py/compiled_orders.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include "py/compiled_strategy.hpp"
#include "py/order_ticket.hpp"
#include "py/venue/order_units.hpp"
#include "types/fixed.hpp"

namespace halvorn::py {

namespace {

using Form = OrderTicket::Form;
using Error = std::optional<std::string>;

// One order slot read: the ticket it stands for, the instrument it names
// (0: the tick's) and its group mark.
struct SlotOrder {
  OrderTicket ticket;
  std::uint32_t instrument = 0;
  std::int64_t group = NO_GROUP_SLOT;
};

std::string text(std::int64_t v) { return std::to_string(v); }

bool conditional(std::int64_t kind) {
  return kind == STOP_SLOT || kind == TAKE_PROFIT_SLOT || kind == TRAILING_STOP_SLOT;
}

// The levels of a conditional order: what fires it, and what it sends.
Error read_levels(const std::int64_t* w, SlotOrder* out) {
  OrderTicket& t = out->ticket;
  TriggerTerms& trigger = t.terms.trigger;
  trigger.source = w[FIRED_BY] == BY_MARK_SLOT ? TriggerSource::Mark : TriggerSource::Last;
  if (w[KIND] != TRAILING_STOP_SLOT) {
    trigger.kind = w[KIND] == STOP_SLOT ? TriggerTerms::Kind::Stop : TriggerTerms::Kind::TakeProfit;
    t.form = w[KIND] == STOP_SLOT ? Form::Stop : Form::TakeProfit;
    if (w[TRIGGER] < 1) return "has trigger " + text(w[TRIGGER]) + "; a price of at least 1 tick";
    if (w[PRICE] < 0) {
      return "has price " + text(w[PRICE]) + "; a price of at least 1 tick, or 0 for market";
    }
    trigger.price = w[TRIGGER];
    if (w[PRICE] > 0) t.price = w[PRICE];
    return std::nullopt;
  }
  t.form = Form::TrailingStop;
  trigger.kind = TriggerTerms::Kind::Trailing;
  if (w[PRICE] != 0) {
    return "has price " + text(w[PRICE]) + "; a trailing stop sends a market order: give 0";
  }
  if (w[TRIGGER] < 0) {
    return "has activation " + text(w[TRIGGER]) + "; a price of at least 1 tick, or 0 for none";
  }
  const bool by_distance = w[DISTANCE] != 0, by_rate = w[RATE] != 0;
  if (by_distance == by_rate || w[DISTANCE] < 0 || w[RATE] < 0 || w[RATE] >= RATE_SCALE) {
    return "has distance " + text(w[DISTANCE]) + " and rate " + text(w[RATE]) +
           "; a trailing stop trails by one of them: a distance of at least 1 tick, or a rate "
           "between 1 and 999_999_999 billionths";
  }
  trigger.price = w[TRIGGER];
  trigger.distance = w[DISTANCE];
  trigger.rate = w[RATE];
  return std::nullopt;
}

// Reads one order slot (market, limit, conditional or close-position) of
// FULL_ORDER_WORDS words, refusing what the venue order classes refuse.
Error read_order(const std::int64_t* w, SlotOrder* out) {
  const std::int64_t kind = w[KIND];
  if ((w[SIDE] != 0 && w[SIDE] != 1) || (w[OFFSET] != 0 && w[OFFSET] != 1)) {
    return "has side " + text(w[SIDE]) + " and offset " + text(w[OFFSET]) + "; each is 0 or 1";
  }
  *out = SlotOrder{};
  OrderTicket& t = out->ticket;
  t.side = w[SIDE] == 0 ? Side::Buy : Side::Sell;
  t.offset = w[OFFSET] == 0 ? Offset::Open : Offset::Close;
  if (kind == CLOSE_POSITION_SLOT) {
    if (w[QTY] != 0) {
      return "has qty " + text(w[QTY]) +
             "; a close-position order is sized when the venue accepts it: give 0";
    }
    t.form = Form::ClosePosition;
    t.terms.close_position = true;
  } else if (w[QTY] < (conditional(kind) ? 0 : 1)) {
    return "has qty " + text(w[QTY]) + "; quantities are whole lots, at least 1" +
           (conditional(kind) ? ", or 0 for the whole position" : "");
  }
  t.qty = kind == CLOSE_POSITION_SLOT ? 0 : w[QTY];
  if (kind == LIMIT_SLOT) {
    if (w[PRICE] < 1) return "has price " + text(w[PRICE]) + "; a price of at least 1 tick";
    t.price = w[PRICE];
  }
  if (conditional(kind)) {
    if (Error e = read_levels(w, out)) return e;
    // A conditional order with no size closes the whole position it faces
    // when it fires.
    if (t.qty == 0) t.terms.close_position = true;
  }
  const bool order = kind == MARKET_SLOT || kind == LIMIT_SLOT;
  if (w[TIF] < GOOD_TILL_CANCEL_SLOT || w[TIF] > FILL_OR_KILL_SLOT ||
      (!order && w[TIF] != GOOD_TILL_CANCEL_SLOT)) {
    return "has time in force " + text(w[TIF]) +
           "; 0 good till cancel, 1 immediate or cancel, 2 fill or kill, and only a market or "
           "limit order has one but 0";
  }
  t.terms.tif = static_cast<TimeInForce>(w[TIF]);
  if ((w[FLAGS] & ~(POST_ONLY_FLAG | REDUCE_ONLY_FLAG)) != 0) {
    return "has flags " + text(w[FLAGS]) + "; 1 post-only, 2 reduce-only";
  }
  t.terms.post_only = (w[FLAGS] & POST_ONLY_FLAG) != 0;
  t.terms.reduce_only = (w[FLAGS] & REDUCE_ONLY_FLAG) != 0;
  if (t.terms.post_only && (kind != LIMIT_SLOT || t.terms.tif != TimeInForce::GoodTillCancel)) {
    return std::string("is post-only; only a good-till-cancel limit order can be");
  }
  if (t.terms.reduce_only && kind == CLOSE_POSITION_SLOT) {
    return std::string("is a close-position order flagged reduce-only; it reduces already");
  }
  if (w[FIRED_BY] != BY_LAST_SLOT && (w[FIRED_BY] != BY_MARK_SLOT || !conditional(kind))) {
    return "has fired_by " + text(w[FIRED_BY]) +
           "; 0 the last price, 1 the mark, and only a conditional order has one but 0";
  }
  if (w[FOR_INSTRUMENT] < 0 || w[FOR_INSTRUMENT] > std::numeric_limits<std::uint32_t>::max()) {
    return "has instrument " + text(w[FOR_INSTRUMENT]) +
           "; an instrument id of the run, or 0 for the tick's";
  }
  out->instrument = static_cast<std::uint32_t>(w[FOR_INSTRUMENT]);
  if (w[GROUP] < NO_GROUP_SLOT || w[GROUP] > BRACKET_TAKE_SLOT) {
    return "has group " + text(w[GROUP]) +
           "; 0 none, 1 one-cancels-other, 2 bracket entry, 3 bracket stop-loss, 4 bracket "
           "take-profit";
  }
  out->group = w[GROUP];
  if (t.reducing() && t.offset == Offset::Open) {
    return std::string("only reduces and has offset 0 (open); give it offset 1 (close)");
  }
  return std::nullopt;
}

bool form_in(const OrderTicket& t, std::initializer_list<Form> forms) {
  return std::find(forms.begin(), forms.end(), t.form) != forms.end();
}

// A bracket's exit as the bracket places it: the entry's size when it
// gives none, and only ever reducing the leg the entry opened, on the
// entry's instrument.
Error bracket_exit(const SlotOrder& entry, SlotOrder* exit, bool stop) {
  OrderTicket& t = exit->ticket;
  const bool fits =
      stop ? form_in(t, {Form::Stop, Form::TrailingStop})
           : form_in(t, {Form::TakeProfit}) || (t.form == Form::Order && t.price.has_value());
  if (!fits) {
    return std::string(stop ? "is a bracket's stop-loss; it must be a stop or a trailing stop"
                            : "is a bracket's take-profit; it must be a take-profit or a limit "
                              "order");
  }
  if (exit->instrument != 0 && exit->instrument != entry.instrument) {
    return "is for instrument " + std::to_string(exit->instrument) + ", its entry for " +
           std::to_string(entry.instrument) + "; the orders of a bracket are for one instrument";
  }
  venue::close_what_entry_opens(entry.ticket, &t);
  exit->instrument = entry.instrument;
  if (auto refusal = venue::bracket_exit_refusal(entry.ticket, t, stop)) return refusal;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_order_slots(const std::int64_t* slots, std::size_t count,
                                            std::size_t words, InstrumentId tick_instrument,
                                            std::uint64_t* orders_made,
                                            std::vector<strategy::Intent>& intents) {
  // Making the group reader's state (an order ticket with its optional
  // unit fields) costs more than the rest of an empty tick.
  if (count == 0) return std::nullopt;
  const std::size_t before = intents.size();
  std::uint64_t made = *orders_made;
  // The group being read: its mark, its leader's slot and id, the entry of
  // a bracket, and the mark of its last member so far.
  std::int64_t group = NO_GROUP_SLOT, last = NO_GROUP_SLOT;
  std::size_t leader_slot = 0;
  OrderId leader = 0;
  SlotOrder entry;
  std::size_t k = 0;
  auto refuse = [&](std::size_t slot, std::string what) -> Error {
    intents.erase(intents.begin() + static_cast<std::ptrdiff_t>(before), intents.end());
    return "order slot " + std::to_string(slot) + " " + what;
  };
  // What a group still lacks once the slots after its leader are not its.
  auto unfinished = [&]() -> Error {
    if (group == ONE_CANCELS_OTHER_SLOT) {
      return refuse(leader_slot,
                    "leads a one-cancels-other pair; its second leg is the next slot, marked "
                    "group 1");
    }
    if (group == BRACKET_ENTRY_SLOT && last == BRACKET_ENTRY_SLOT) {
      return refuse(leader_slot,
                    "is a bracket entry; its stop-loss (group 3), take-profit (group 4) or both "
                    "are the slots after it");
    }
    group = NO_GROUP_SLOT;
    return std::nullopt;
  };
  auto number = [&]() { return made = next_counter(made, "order id counter overflows"); };
  for (; k < count; ++k) {
    std::int64_t w[FULL_ORDER_WORDS] = {};
    std::copy_n(slots + k * words, words, w);
    const std::int64_t kind = w[KIND];
    if (kind == CANCEL_SLOT || kind == CANCEL_ALL_SLOT) {
      if (Error e = unfinished()) return e;
      if (kind == CANCEL_ALL_SLOT) {
        intents.push_back(strategy::intent::CancelAll{});
      } else if (w[ORDER] < 1) {
        return refuse(k, "cancels order " + text(w[ORDER]) + "; order ids start at 1");
      } else {
        intents.push_back(strategy::intent::Cancel{static_cast<OrderId>(w[ORDER])});
      }
      continue;
    }
    if (kind < MARKET_SLOT || kind > CLOSE_POSITION_SLOT) {
      return refuse(k, "has kind " + text(kind) +
                           "; kinds are 1 market, 2 limit, 3 cancel, 4 cancel all, 5 stop, 6 "
                           "take-profit, 7 trailing stop, 8 close position");
    }
    if (words < FULL_ORDER_WORDS && kind > CANCEL_ALL_SLOT) {
      return refuse(k, "has kind " + text(kind) + ", which needs wide slots: give the strategy " +
                           std::to_string(FULL_ORDER_WORDS) + " order words");
    }
    SlotOrder order;
    if (Error e = read_order(w, &order)) return refuse(k, std::move(*e));
    OrderTicket& t = order.ticket;
    const std::int64_t mark = order.group;
    const bool second_leg =
        mark == ONE_CANCELS_OTHER_SLOT && group == ONE_CANCELS_OTHER_SLOT && k == leader_slot + 1;
    const bool exit =
        group == BRACKET_ENTRY_SLOT && ((mark == BRACKET_STOP_SLOT && last == BRACKET_ENTRY_SLOT) ||
                                        (mark == BRACKET_TAKE_SLOT && last != BRACKET_TAKE_SLOT));
    if (!second_leg && !exit) {
      if (Error e = unfinished()) return e;
    }
    const InstrumentId instrument =
        order.instrument == 0 ? tick_instrument : InstrumentId{order.instrument};
    if (mark == NO_GROUP_SLOT) {
      number();
      if (t.terms.plain() && t.form == Form::Order && order.instrument == 0) {
        // What a plain order of the core module places.
        if (t.price) {
          intents.push_back(
              strategy::intent::Limit{t.side, *t.offset, instrument, made, *t.price, t.qty});
        } else {
          intents.push_back(strategy::intent::Market{t.side, *t.offset, instrument, made, t.qty});
        }
      } else {
        intents.push_back(placed(t, instrument, made, GroupRole::None, 0));
      }
      continue;
    }
    if (mark == ONE_CANCELS_OTHER_SLOT) {
      if (t.form == Form::ClosePosition) {
        return refuse(k,
                      "is a close-position order in a one-cancels-other pair; a leg is a "
                      "market, limit, stop, take-profit or trailing stop order");
      }
      if (second_leg && order.instrument != entry.instrument) {
        return refuse(k, "is for instrument " + std::to_string(order.instrument) +
                             ", the first leg for " + std::to_string(entry.instrument) +
                             "; the orders of a group are for one instrument");
      }
      intents.push_back(
          placed(t, instrument, number(), GroupRole::OneCancelsOther, second_leg ? leader : 0));
      if (second_leg) {
        group = NO_GROUP_SLOT;
      } else {
        group = last = ONE_CANCELS_OTHER_SLOT;
        leader_slot = k;
        leader = made;
        entry = order;
      }
      continue;
    }
    if (mark == BRACKET_ENTRY_SLOT) {
      if (!form_in(t, {Form::Order, Form::Stop, Form::TakeProfit}) || t.qty == 0 || t.reducing()) {
        return refuse(k,
                      "is a bracket entry; an entry is a market, limit, stop or take-profit "
                      "order that opens a position: it needs a qty and cannot be reduce-only");
      }
      intents.push_back(placed(t, instrument, number(), GroupRole::BracketEntry, 0));
      group = last = BRACKET_ENTRY_SLOT;
      leader_slot = k;
      leader = made;
      entry = order;
      continue;
    }
    if (!exit) {
      return refuse(k, std::string("is a bracket's ") +
                           (mark == BRACKET_STOP_SLOT ? "stop-loss" : "take-profit") +
                           "; it follows its entry (group 2), a take-profit after the stop-loss");
    }
    const bool stop = mark == BRACKET_STOP_SLOT;
    if (Error e = bracket_exit(entry, &order, stop)) return refuse(k, std::move(*e));
    const InstrumentId exit_instrument =
        order.instrument == 0 ? tick_instrument : InstrumentId{order.instrument};
    intents.push_back(placed(t, exit_instrument, number(),
                             stop ? GroupRole::BracketStop : GroupRole::BracketTake, leader));
    last = mark;
  }
  if (Error e = unfinished()) return e;
  *orders_made = made;
  return std::nullopt;
}

}  // namespace halvorn::py
