#include "py/strategy_adapter.hpp"

#include <optional>

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/venue/order_units.hpp"

namespace halvorn::py {

namespace {

// Whether every order that only reduces names its leg, as hedge mode needs.
// A bracket's exits close the entry's leg and always say so.
bool legs_named(const std::vector<Request>& requests) {
  auto named = [](const OrderTicket& t) { return !t.reducing() || t.offset.has_value(); };
  for (const Request& request : requests) {
    if (const auto* ticket = std::get_if<TicketRequest>(&request)) {
      if (!named(unbox<OrderTicket>(ticket->object.get()))) return false;
    } else if (const auto* group = std::get_if<GroupRequest>(&request)) {
      const GroupTicket& g = unbox<GroupData>(group->object.get()).ticket;
      for (std::size_t i = 0; i < g.members.size(); ++i) {
        if (g.present[i] && !named(g.members[i])) return false;
      }
    }
  }
  return true;
}

// Whether any order of a group was given in units (a bracket's exit that
// takes its size from an entry in units counts too).
bool in_units(const GroupTicket& g) {
  for (std::size_t i = 0; i < g.members.size(); ++i) {
    if (g.present[i] && (g.members[i].units.any() || g.members[i].units.qty_of_entry)) {
      return true;
    }
  }
  return false;
}

const char bad_return[] =
    "a strategy must return None or a list of Order; returning anything else would be "
    "silently ignored";

}  // namespace

std::string strategy_name(PyObject* object) {
  if (auto name = str_attribute(object, "name")) return *name;
  if (auto name = str_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__")) {
    return *name;
  }
  return "python-strategy";
}

PyDriven::PyDriven(Gil& gil, Ref strategy, std::string name, AdapterParts parts,
                   std::shared_ptr<SharedFailure> shared)
    : gil_(gil),
      name_(std::move(name)),
      strategy_(std::move(strategy)),
      parts_(std::move(parts)),
      interruption_(gil),
      failure_(std::move(shared)) {}

PyDriven::~PyDriven() {
  // At interpreter exit the references are left as they are: the thread
  // holds no lock and may take none.  A moved-from adapter holds nothing.
  if (thread_exiting() || (!strategy_ && !halted() && !failure_.holds_objects())) return;
  // Dropped either by the run function, which holds the lock, or by the
  // lookahead check while the engine runs unlocked.
  Locked lock(gil_);
  strategy_ = Ref();
  parts_.cadence.drop();
  parts_.feedback.drop();
  parts_.progress.drop();
  parts_.portfolio.drop();
  parts_.instruments.drop();
  requests_.clear();
  failure_.drop_cause();
  PendingException& interrupt = interruption_.pending();
  SharedFailure* shared = failure_.shared();
  if (interrupt && shared != nullptr && !shared->interrupt)
    shared->interrupt = std::move(interrupt);
  interrupt = PendingException{};
}

void PyDriven::settle_lock() {
  // Batches are rare enough that the lock goes back after each; a failed or
  // halted adapter never calls Python again.
  if (!parts_.cadence.per_tick() || failure_ || halted()) return gil_.release();
  if (++settles_ < LOCK_CHECK_INTERVAL) return;
  settles_ = 0;
  if (!gil_.alone()) gil_.release();
}

void PyDriven::record_current_exception(const char* prefix) {
  if (!current_error_is_ordinary()) {
    PendingException& interrupt = interruption_.pending();
    if (!interrupt) interrupt = PendingException::fetch();
    return;
  }
  failure_.record_current(prefix, ticks_seen_ > 0 ? ticks_seen_ - 1 : 0, at_time_);
}

void PyDriven::count_ticks(std::size_t n) {
  ticks_seen_ += n;
  const bool asked_or_halted = interruption_.count(n);
  if (gil_.held()) settle_lock();
  // Progress goes on after the strategy failed: the run does.
  if (asked_or_halted || !parts_.progress.due(ticks_seen_)) return;
  gil_.acquire();
  if (!parts_.progress.report(ticks_seen_)) record_current_exception("progress raised: ");
  settle_lock();
}

void PyDriven::on_tick(const strategy::TickContext& context,
                       std::vector<strategy::Intent>& intents) {
  at_time_ = context.tick.exch_ts;
  count_ticks(1);
  if (!live()) return;
  if (!parts_.cadence.per_tick()) {
    last_context_ = context;
    if (!parts_.cadence.collect(context.tick, context.record, context.in_place,
                                context.instrument_record)) {
      return;
    }
  }
  gil_.acquire();
  try {
    call(context, intents);
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (...) {
    gil_.release();
    throw;
  }
  settle_lock();
}

backtest::QuietScan PyDriven::scan_quiet(std::span<const engine::Tick> ticks, std::size_t in_place,
                                         const strategy::TickContext& view,
                                         std::span<const Cash> equities,
                                         std::vector<strategy::Intent>& intents) {
  // The view is the account's on each of these ticks, with a position's
  // equity on each as the run worked it out; the tick, where it lies and
  // how many lie after it are each tick's own, as the step would show them.
  strategy::TickContext context = view;
  return backtest::walk_quiet(ticks, equities, context, [&](std::size_t i) {
    context.tick = ticks[i];
    context.record = &ticks[i];
    context.in_place = in_place + (ticks.size() - 1 - i);
    on_tick(context, intents);
    // A tick whose call placed orders, failed or found the run halted is
    // stepped in full, and the strategy is not called on it again.
    return intents.empty() && live();
  });
}

void PyDriven::call(const strategy::TickContext& context, std::vector<strategy::Intent>& intents) {
  Ref result;
  if ((!parts_.feedback.pending() || parts_.feedback.deliver()) &&
      parts_.portfolio.write(strategy_.get(), context, parts_.cadence.held_instruments())) {
    result = parts_.cadence.call(strategy_.get(), context, parts_.instruments);
  }
  if (result) {
    take_orders(result.get(), context, intents);
  } else {
    record_current_exception("");
  }
}

void PyDriven::on_run_end() {
  if (parts_.flush && !parts_.cadence.per_tick() && parts_.cadence.held() > 0 && live()) {
    // The ticks after the last complete batch, delivered at the end: what
    // the call returns has no later tick to be placed on.
    gil_.acquire();
    std::vector<strategy::Intent> unplaced;
    call(last_context_, unplaced);
  }
  if (parts_.progress.active() && !failure_ && !halted()) {
    gil_.acquire();
    if (!parts_.progress.report(ticks_seen_)) record_current_exception("progress raised: ");
  }
  gil_.release();
}

std::size_t PyDriven::idle_ticks() const {
  // A failed or halted adapter, and one whose batch never completes, decide
  // nothing on any tick; a batch decides on the tick that completes it.
  if (!live()) return SIZE_MAX;
  if (parts_.cadence.per_tick()) return 0;
  return parts_.cadence.batch() - parts_.cadence.held() - 1;
}

void PyDriven::on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place,
                             const std::int64_t* instruments) {
  count_ticks(ticks.size());
  if (!live()) return;
  parts_.cadence.collect_run(ticks, in_place, instruments);
}

void PyDriven::on_fills(std::span<const Fill> fills) {
  // A strategy that will not be called again hears nothing: keeping notes
  // for it would only grow.
  // Heard before the tick that booked them is counted: its index is the
  // number of ticks seen so far.
  if (!fills.empty() && listens()) parts_.feedback.note_fills(fills, ticks_seen_);
}

void PyDriven::on_endings(std::span<const strategy::OrderEnding> endings) {
  if (!endings.empty() && listens()) parts_.feedback.note_endings(endings);
}

void PyDriven::on_venue_closed(std::span<const strategy::VenueClosed> closes) {
  if (!closes.empty() && listens()) parts_.feedback.note_closes(closes);
}

void PyDriven::take_orders(PyObject* result, const strategy::TickContext& context,
                           std::vector<strategy::Intent>& intents) {
  if (result == Py_None) return;
  if (PyUnicode_Check(result)) {
    failure_.fail(bad_return);
    return;
  }
  if (!python([&] {
        return extract_requests(parts_.cadence.state(), parts_.requests, result, &requests_);
      })) {
    if (!current_error_is_ordinary()) {
      record_current_exception("");
      return;
    }
    PyErr_Clear();
    failure_.fail(bad_return);
    return;
  }
  if (parts_.requests.hedge && !legs_named(requests_)) {
    failure_.fail(
        "reduce_only: in hedge mode an order that only reduces must name the leg it reduces; "
        "give it offset=\"close\"");
    requests_.clear();
    return;
  }
  // A group's members are numbered in order; the first leads it.
  // An order that names no instrument is for the tick's; one that names a
  // symbol the run does not trade gets an id no holding has, and the run
  // refuses it where the strategy hears it.
  auto instrument_of = [&](const OrderTicket& ticket) {
    if (!ticket.instrument) return context.instrument;
    if (!parts_.portfolio.active()) {
      return ticket.instrument == single_symbol_ ? context.instrument : InstrumentId{0};
    }
    return parts_.portfolio.resolve(*ticket.instrument);
  };
  if (!count_in_units(instrument_of)) {
    requests_.clear();
    return;
  }
  // Orders given in units are placed as counted, in the order counted.
  std::size_t next_counted = 0;
  auto place = [&](const OrderTicket& given, bool counted, GroupRole role, OrderId leader) {
    const OrderTicket& ticket = counted ? counted_[next_counted++] : given;
    orders_made_ = next_counter(orders_made_, "order id counter overflows");
    intents.push_back(placed(ticket, instrument_of(ticket), orders_made_, role, leader));
    if (ticket.tag) tags_.emplace_back(orders_made_, *ticket.tag);
    return orders_made_;
  };
  for (const Request& request : requests_) {
    if (const auto* cancel = std::get_if<CancelRequest>(&request)) {
      intents.push_back(strategy::intent::Cancel{cancel->order_id});
      continue;
    }
    if (std::holds_alternative<CancelAllRequest>(request)) {
      intents.push_back(strategy::intent::CancelAll{});
      continue;
    }
    if (const auto* ticket = std::get_if<TicketRequest>(&request)) {
      const OrderTicket& t = unbox<OrderTicket>(ticket->object.get());
      place(t, t.units.any(), GroupRole::None, 0);
      continue;
    }
    if (const auto* held = std::get_if<GroupRequest>(&request)) {
      const GroupTicket* group = &unbox<GroupData>(held->object.get()).ticket;
      const bool counted = in_units(*group);
      constexpr GroupRole BRACKET[3] = {GroupRole::BracketEntry, GroupRole::BracketStop,
                                        GroupRole::BracketTake};
      OrderId leader = 0;
      for (std::size_t i = 0; i < group->members.size(); ++i) {
        if (!group->present[i]) continue;
        const GroupRole role =
            group->kind == GroupRole::OneCancelsOther ? GroupRole::OneCancelsOther : BRACKET[i];
        const OrderId id = place(group->members[i], counted, role, leader);
        if (leader == 0) leader = id;
      }
      continue;
    }
    const OrderRequest& order = std::get<OrderRequest>(request);
    orders_made_ = next_counter(orders_made_, "order id counter overflows");
    if (order.has_price) {
      intents.push_back(strategy::intent::Limit{order.side, order.offset, context.instrument,
                                                orders_made_, order.price, order.qty});
    } else {
      intents.push_back(strategy::intent::Market{order.side, order.offset, context.instrument,
                                                 orders_made_, order.qty});
    }
  }
  requests_.clear();  // the references it holds, while the lock is held
}

template <class InstrumentOf>
bool PyDriven::count_in_units(InstrumentOf&& instrument_of) {
  counted_.clear();
  // Appends `ticket` to counted_, its values in units counted; false, having
  // recorded the failure, when one cannot be.
  auto count = [&](const OrderTicket& ticket) {
    OrderTicket& t = counted_.emplace_back(ticket);
    const InstrumentId id = instrument_of(ticket);
    // An order for an instrument the run does not trade is refused as such
    // where the strategy hears it; there is nothing to count it by.
    std::optional<std::string> refusal =
        id.value == 0 ? std::nullopt : venue::count_units(&t, parts_.instruments.definition(id));
    t.units = UnitTerms{};
    if (refusal) failure_.fail(std::move(*refusal));
    return !refusal;
  };
  for (const Request& request : requests_) {
    if (const auto* ticket = std::get_if<TicketRequest>(&request)) {
      const OrderTicket& t = unbox<OrderTicket>(ticket->object.get());
      if (t.units.any() && !count(t)) return false;
      continue;
    }
    const auto* held = std::get_if<GroupRequest>(&request);
    if (held == nullptr || !in_units(unbox<GroupData>(held->object.get()).ticket)) continue;
    // A group in units is counted whole, and a bracket's levels are judged
    // once they are counts, as the bracket judges levels given as counts.
    const GroupTicket& g = unbox<GroupData>(held->object.get()).ticket;
    std::array<OrderTicket, 3> members = g.members;
    for (std::size_t i = 0; i < members.size(); ++i) {
      if (!g.present[i]) continue;
      if (members[i].units.qty_of_entry) members[i].qty = members[0].qty;
      if (!count(members[i])) return false;
      members[i] = counted_.back();
    }
    for (std::size_t exit = 1; g.kind == GroupRole::BracketEntry && exit < 3; ++exit) {
      if (!g.present[exit]) continue;
      if (auto refusal = venue::bracket_exit_refusal(members[0], members[exit], exit == 1)) {
        failure_.fail(std::move(*refusal));
        return false;
      }
    }
  }
  return true;
}

}  // namespace halvorn::py
