#include "py/adapter.hpp"

#include <algorithm>
#include <cstdint>

#include "py/boundary.hpp"
#include "py/argument_conversion.hpp"

namespace halvorn::py {

namespace {

// A batch is collected in `pending`; reserving room for it up front is only
// worth it up to a point, and a huge `batch` must not become a huge
// allocation before a single tick has arrived.
constexpr std::size_t PENDING_RESERVE_CAP = std::size_t{1} << 16;

const char bad_return[] =
    "a strategy must return None or a list of Order; returning anything else would be "
    "silently ignored";

// The whole text of a str attribute, or nothing (errors discarded).
std::optional<std::string> str_attribute(PyObject* object, const char* attribute) {
  Ref value = Ref::steal(python([&] { return PyObject_GetAttrString(object, attribute); }));
  std::string text;
  if (value && PyUnicode_Check(value.get()) && utf8_of(value.get(), &text)) return text;
  PyErr_Clear();
  return std::nullopt;
}

}  // namespace

PendingException PendingException::fetch() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void PendingException::restore() {
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

std::string strategy_name(PyObject* object) {
  if (auto name = str_attribute(object, "name")) return *name;
  if (auto name = str_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__")) {
    return *name;
  }
  return "python-strategy";
}

PendingException PendingException::fetch_normalized() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  // Kept on the exception itself, so that it travels with it as a cause.
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  return {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

std::string describe_exception(const PendingException& exception) {
  std::string message =
      str_attribute(exception.type.get(), "__qualname__")
          .value_or(reinterpret_cast<PyTypeObject*>(exception.type.get())->tp_name);
  message += ": ";
  Ref text =
      Ref::steal(exception.value ? python([&] { return PyObject_Str(exception.value.get()); })
                                 : PyUnicode_FromString(""));
  std::string utf8;
  if (text && utf8_of(text.get(), &utf8)) {
    message += utf8;
  } else {
    PyErr_Clear();
    message += "<exception str() failed>";
  }
  return message;
}

void chain_to_current(const PendingException& cause, const std::string& note) {
  PendingException raised = PendingException::fetch_normalized();
  if (cause.value) PyException_SetCause(raised.value.get(), Py_NewRef(cause.value.get()));
  if (!note.empty()) {
    Ref text = Ref::steal(str_of(note));
    Ref added = text ? Ref::steal(python([&] {
      return PyObject_CallMethod(raised.value.get(), "add_note", "O", text.get());
    }))
                     : Ref();
    if (!added) PyErr_Clear();  // the note is a courtesy; the error is what matters
  }
  raised.restore();
}

void raise_message(PyObject* type, std::string_view prefix, std::string_view text) {
  std::string message(prefix);
  message += text;
  Ref str = Ref::steal(str_of(message));
  if (str) PyErr_SetObject(type, str.get());
}

PyDriven::PyDriven(ModuleState* state, Gil& gil, Ref strategy, std::string name, std::size_t batch,
                   std::shared_ptr<SharedFailure> shared,
                   std::shared_ptr<const VenueProtocol> venue)
    : state_(state),
      gil_(gil),
      throughput_(batch > 1),
      batch_(batch),
      name_(std::move(name)),
      strategy_(std::move(strategy)),
      shared_(std::move(shared)),
      venue_(std::move(venue)),
      columnar_(throughput_ && venue_ && venue_->on_columns),
      hears_(venue_ && venue_->hears()) {
  if (throughput_ && !columnar_) pending_.reserve(std::min(batch_, PENDING_RESERVE_CAP));
  if (venue_ && venue_->progress) next_progress_ = PROGRESS_INTERVAL;
}

PyDriven::~PyDriven() {
  // At interpreter exit the references are left as they are: the thread
  // holds no lock and may take none.
  if (thread_exiting() || (!strategy_ && !interrupt_ && !venue_ && !cause_)) return;
  // Dropped either by the run function, which holds the lock, or by the
  // lookahead check while the engine runs unlocked.
  Locked lock(gil_);
  strategy_ = Ref();
  venue_.reset();
  cause_ = PendingException{};
  if (interrupt_ && shared_ && !shared_->interrupt) shared_->interrupt = std::move(interrupt_);
  interrupt_ = PendingException{};
}

void PyDriven::settle_lock() {
  // Batches are rare enough that the lock goes back after each; a failed or
  // halted adapter never calls Python again.
  if (throughput_ || failure_ || interrupt_ || !gil_.alone()) gil_.release();
}

void PyDriven::limit_series(std::uint64_t max_ticks) {
  // A flushed run delivers what it collected whatever the batch size; the
  // collection is then bounded by the series instead.
  const bool flush = venue_ && venue_->flush;
  never_delivers_ = throughput_ && batch_ > max_ticks && !flush;
  if (never_delivers_) pending_ = std::vector<engine::Tick>();
  if (columnar_ && !never_delivers_) {
    columns_.emplace(static_cast<std::size_t>(std::min<std::uint64_t>(batch_, max_ticks)));
  }
}

void PyDriven::raise_failure(std::string_view prefix) {
  raise_message(PyExc_ValueError, prefix, *failure_);
  chain_to_current(cause_, where_);
}

void PyDriven::fail(std::string message) {
  if (shared_) {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (!shared_->message) shared_->message = message;
  }
  failure_ = std::move(message);
}

void PyDriven::record_current_exception(const char* prefix) {
  if (!current_error_is_ordinary()) {
    interrupt_ = PendingException::fetch();
    return;
  }
  PendingException raised = PendingException::fetch_normalized();
  fail(prefix + describe_exception(raised));
  // Kept whole, to be the cause of what the run raises: the strategy's own
  // traceback, and where in the series it was raised.
  cause_ = std::move(raised);
  where_ = "raised on tick " + std::to_string(ticks_seen_ > 0 ? ticks_seen_ - 1 : 0) +
           " of the series (counting from 0), exchange time " + std::to_string(at_time_) + " ns";
}

bool PyDriven::check_signals() {
  since_signal_check_ = 0;
  gil_.acquire();
  if (python([] { return PyErr_CheckSignals(); }) < 0) interrupt_ = PendingException::fetch();
  settle_lock();
  return static_cast<bool>(interrupt_);
}

void PyDriven::report_progress() {
  next_progress_ = ticks_seen_ + PROGRESS_INTERVAL;
  gil_.acquire();
  Ref done = Ref::steal(PyLong_FromUnsignedLongLong(ticks_seen_));
  Ref answer;
  if (done) {
    answer = Ref::steal(python([&] {
      return PyObject_CallFunctionObjArgs(venue_->progress.get(), done.get(), venue_->total.get(),
                                          nullptr);
    }));
  }
  if (!answer) record_current_exception("progress raised: ");
  settle_lock();
}

void PyDriven::on_run_end() {
  const bool remainder = held() > 0;
  if (venue_ && venue_->flush && throughput_ && remainder && !failure_ && !interrupt_) {
    // The ticks after the last complete batch, delivered at the end: what
    // the call returns has no later tick to be placed on.
    gil_.acquire();
    Ref result;
    if (notes_.empty() || deliver_notes()) {
      result = columnar_ ? call_columns(last_context_) : call_batch(last_context_);
    }
    std::vector<strategy::Intent> unplaced;
    if (result) {
      take_orders(result.get(), last_context_, unplaced);
    } else {
      record_current_exception("");
    }
  }
  if (next_progress_ != 0 && !failure_ && !interrupt_) report_progress();
  gil_.release();
}

bool PyDriven::listens(Ref VenueProtocol::* hook) const {
  // A failed or halted adapter calls nothing again, and a batch that can
  // never complete is never delivered: keeping notes for them would only
  // grow.  Without a venue protocol there is nothing to look the hook up in.
  return hears_ && (*venue_).*hook && !failure_ && !interrupt_ && !never_delivers_;
}

void PyDriven::on_fills(std::span<const Fill> fills) {
  if (fills.empty() || !listens(&VenueProtocol::on_fill)) return;
  for (const Fill& fill : fills) notes_.emplace_back(fill);
}

void PyDriven::on_endings(std::span<const strategy::OrderEnding> endings) {
  if (endings.empty() || !listens(&VenueProtocol::on_end)) return;
  for (const strategy::OrderEnding& ending : endings) notes_.emplace_back(ending);
}

void PyDriven::on_venue_closed(std::span<const strategy::VenueClosed> closes) {
  if (closes.empty() || !listens(&VenueProtocol::on_liquidation)) return;
  for (const strategy::VenueClosed& closed : closes) notes_.emplace_back(closed);
}

bool PyDriven::deliver_notes() {
  const VenueProtocol& v = *venue_;
  for (const Note& note : notes_) {
    Ref answer;
    if (const auto* fill = std::get_if<Fill>(&note)) {
      Ref arg = Ref::steal(v.fill_object(v, *fill));
      if (arg)
        answer =
            Ref::steal(python([&] { return PyObject_CallOneArg(v.on_fill.get(), arg.get()); }));
    } else if (const auto* ending = std::get_if<strategy::OrderEnding>(&note)) {
      Ref id = Ref::steal(PyLong_FromUnsignedLongLong(ending->first));
      PyObject* how = ending->second == strategy::Ending::Filled ? v.str_filled : v.str_canceled;
      if (id) {
        answer = Ref::steal(python(
            [&] { return PyObject_CallFunctionObjArgs(v.on_end.get(), id.get(), how, nullptr); }));
      }
    } else {
      Ref arg = Ref::steal(v.closed_object(v, std::get<strategy::VenueClosed>(note)));
      if (arg) {
        answer = Ref::steal(
            python([&] { return PyObject_CallOneArg(v.on_liquidation.get(), arg.get()); }));
      }
    }
    if (!answer) {
      notes_.clear();
      return false;
    }
  }
  notes_.clear();
  return true;
}

data::ReadHooks PyDriven::read_hooks() {
  return data::ReadHooks{
      this,
      [](void* self) { static_cast<PyDriven*>(self)->gil_.release(); },
      [](void* self) { return static_cast<PyDriven*>(self)->check_signals(); },
  };
}

void PyDriven::count_ticks(std::size_t n) {
  ticks_seen_ += n;
  since_signal_check_ += n;
}

std::size_t PyDriven::idle_ticks() const {
  // A failed or halted adapter, and one whose batch never completes, decide
  // nothing on any tick; a batch decides on the tick that completes it.
  if (failure_ || interrupt_ || never_delivers_) return SIZE_MAX;
  if (!throughput_) return 0;
  return batch_ - held() - 1;
}

void PyDriven::on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place) {
  count_ticks(ticks.size());
  if (since_signal_check_ >= SIGNAL_INTERVAL && check_signals()) return;
  if (next_progress_ != 0 && ticks_seen_ >= next_progress_) report_progress();
  if (failure_ || interrupt_ || never_delivers_) return;
  if (!columnar_) {
    pending_.insert(pending_.end(), ticks.begin(), ticks.end());
  } else {
    columns_->add_run(ticks, in_place);
  }
}

std::size_t PyDriven::held() const {
  if (!columnar_) return pending_.size();
  return columns_ ? columns_->size() : 0;
}

bool PyDriven::collect(const engine::Tick& tick, const engine::Tick* record, std::size_t in_place) {
  if (!columnar_) {
    pending_.push_back(tick);
  } else {
    columns_->add(tick, record, in_place);
  }
  return held() == batch_;
}

void PyDriven::on_tick(const strategy::TickContext& context,
                       std::vector<strategy::Intent>& intents) {
  count_ticks(1);
  at_time_ = context.tick.exch_ts;
  if (since_signal_check_ >= SIGNAL_INTERVAL && check_signals()) return;
  if (failure_ || interrupt_ || never_delivers_) return;
  if (next_progress_ != 0 && ticks_seen_ >= next_progress_) {
    report_progress();
    if (failure_ || interrupt_) return;
  }
  if (throughput_) {
    last_context_ = context;
    if (!collect(context.tick, context.record, context.in_place)) return;
  }
  gil_.acquire();
  try {
    Ref result;
    if (notes_.empty() || deliver_notes()) {
      result = !throughput_ ? call_compat(context)
               : columnar_  ? call_columns(context)
                            : call_batch(context);
    }
    if (result) {
      take_orders(result.get(), context, intents);
    } else {
      record_current_exception("");
    }
  } catch (abi::__forced_unwind&) {
    note_thread_exit();
    throw;
  } catch (...) {
    gil_.release();
    throw;
  }
  settle_lock();
}

Ref PyDriven::call_compat(const strategy::TickContext& context) {
  Ref ctx = Ref::steal(new_context(state_, context));
  if (!ctx) return Ref();
  return Ref::steal(python(
      [&] { return PyObject_CallMethodOneArg(strategy_.get(), state_->str_on_tick, ctx.get()); }));
}

bool PyDriven::write_account(const strategy::TickContext& context) {
  PyObject* object = strategy_.get();
  const std::pair<PyObject*, std::int64_t> attributes[] = {
      {state_->str_position, context.position},
      {state_->str_entry, context.entry},
      {state_->str_short_position, context.short_position},
      {state_->str_equity, context.equity},
      {state_->str_last, context.tick.last},
  };
  for (const auto& [attribute, value] : attributes) {
    Ref number = Ref::steal(PyLong_FromLongLong(value));
    if (!number || python([&] { return PyObject_SetAttr(object, attribute, number.get()); }) < 0) {
      return false;
    }
  }
  return true;
}

Ref PyDriven::call_columns(const strategy::TickContext& context) {
  if (!write_account(context)) return Ref();
  const backtest::ColumnView view = columns_->view();
  columns_->clear();
  PyObject* batch = batch_holder_.show(venue_->batch_type, venue_->column_type, view);
  if (batch == nullptr) return Ref();
  Ref result =
      Ref::steal(python([&] { return PyObject_CallOneArg(venue_->on_columns.get(), batch); }));
  // A view kept past the call would show the next batch's data: the run
  // fails instead.
  if (!batch_holder_.finish()) return Ref();
  return result;
}

Ref PyDriven::call_batch(const strategy::TickContext& context) {
  PyObject* object = strategy_.get();
  if (!write_account(context)) return Ref();
  const auto n = static_cast<Py_ssize_t>(pending_.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* tick = new_tick(state_, pending_[static_cast<std::size_t>(i)]);
    if (tick == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i, tick);
  }
  pending_.clear();
  return Ref::steal(
      python([&] { return PyObject_CallMethodOneArg(object, state_->str_on_batch, list.get()); }));
}

void PyDriven::take_orders(PyObject* result, const strategy::TickContext& context,
                           std::vector<strategy::Intent>& intents) {
  if (result == Py_None) return;
  if (PyUnicode_Check(result)) {
    fail(bad_return);
    return;
  }
  static const RequestTypes none;
  const RequestTypes& types = venue_ ? venue_->requests : none;
  if (!python([&] { return extract_requests(state_, types, result, &requests_); })) {
    if (!current_error_is_ordinary()) {
      interrupt_ = PendingException::fetch();
      return;
    }
    PyErr_Clear();
    fail(bad_return);
    return;
  }
  for (const Request& request : requests_) {
    if (const auto* cancel = std::get_if<CancelRequest>(&request)) {
      intents.push_back(strategy::intent::Cancel{cancel->order_id});
      continue;
    }
    if (std::holds_alternative<CancelAllRequest>(request)) {
      intents.push_back(strategy::intent::CancelAll{});
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
}

}  // namespace halvorn::py
