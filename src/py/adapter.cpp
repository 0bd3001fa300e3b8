#include "py/driven.hpp"

#include <algorithm>

#include "py/convert.hpp"

namespace halvorn::py {

namespace {

// A batch is collected in `pending`; reserving room for it up front is only
// worth it up to a point, and a huge `batch` must not become a huge
// allocation before a single tick has arrived.
constexpr std::size_t PENDING_RESERVE_CAP = std::size_t{1} << 16;

const char bad_return[] =
    "a strategy must return None or a list of Order; returning anything else would be "
    "silently ignored";

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
  Ref name = Ref::steal(PyObject_GetAttrString(object, "name"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) return utf8;
  }
  PyErr_Clear();
  Ref type_name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (type_name && PyUnicode_Check(type_name.get())) {
    if (const char* utf8 = PyUnicode_AsUTF8(type_name.get())) return utf8;
  }
  PyErr_Clear();
  return "python-strategy";
}

std::string describe_current_exception() {
  PyObject *raw_type, *raw_value, *raw_traceback;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  const Ref type = Ref::steal(raw_type), value = Ref::steal(raw_value),
            traceback = Ref::steal(raw_traceback);
  Ref qualname = Ref::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  const char* name =
      qualname && PyUnicode_Check(qualname.get()) ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (name == nullptr) {
    PyErr_Clear();
    name = reinterpret_cast<PyTypeObject*>(type.get())->tp_name;
  }
  std::string message = name;
  message += ": ";
  Ref text = Ref::steal(value ? PyObject_Str(value.get()) : PyUnicode_FromString(""));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    message += "<exception str() failed>";
  } else {
    message += utf8;
  }
  return message;
}

PyDriven::PyDriven(ModuleState* state, Ref strategy, std::string name, std::size_t batch,
                   std::shared_ptr<SharedFailure> shared)
    : state_(state),
      thread_(PyThreadState_Get()),
      throughput_(batch > 1),
      batch_(batch),
      name_(std::move(name)),
      strategy_(std::move(strategy)),
      shared_(std::move(shared)) {
  if (throughput_) pending_.reserve(std::min(batch_, PENDING_RESERVE_CAP));
}

PyDriven::~PyDriven() {
  if (!strategy_ && !interrupt_ && !holds_lock_) return;
  // Dropped either by the run function, which holds the lock, or by the
  // lookahead check while the engine runs unlocked, where this adapter may
  // or may not still hold it from its last call.
  std::optional<Locked> lock;
  if (!holds_lock_) lock.emplace();
  strategy_ = Ref();
  if (interrupt_ && shared_ && !shared_->interrupt) shared_->interrupt = std::move(interrupt_);
  interrupt_ = PendingException{};
  lock.reset();
  release_lock();
}

bool PyDriven::alone() const {
  PyInterpreterState* interp = PyThreadState_GetInterpreter(thread_);
  return PyInterpreterState_ThreadHead(interp) == thread_ && PyThreadState_Next(thread_) == nullptr;
}

void PyDriven::take_lock() {
  if (holds_lock_) return;
  PyEval_RestoreThread(thread_);
  holds_lock_ = true;
}

void PyDriven::release_lock() {
  if (!holds_lock_) return;
  holds_lock_ = false;
  PyEval_SaveThread();
}

void PyDriven::settle_lock() {
  // Batches are rare enough that the lock goes back after each; a failed or
  // halted adapter never calls Python again.
  if (throughput_ || failure_ || interrupt_ || !alone()) release_lock();
}

void PyDriven::limit_series(std::uint64_t max_ticks) {
  never_delivers_ = throughput_ && batch_ > max_ticks;
  if (never_delivers_) pending_ = std::vector<engine::Tick>();
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
  fail(prefix + describe_current_exception());
}

void PyDriven::check_signals() {
  since_signal_check_ = 0;
  take_lock();
  if (PyErr_CheckSignals() < 0) interrupt_ = PendingException::fetch();
  settle_lock();
}

void PyDriven::on_tick(const strategy::TickContext& context,
                       std::vector<strategy::Intent>& intents) {
  if (++since_signal_check_ >= SIGNAL_INTERVAL) {
    check_signals();
    if (interrupt_) return;
  }
  if (failure_ || interrupt_ || never_delivers_) return;
  if (throughput_) {
    pending_.push_back(context.tick);
    if (pending_.size() < batch_) return;
  }
  take_lock();
  try {
    Ref result = throughput_ ? call_batch(context) : call_compat(context);
    if (result) {
      take_orders(result.get(), context, intents);
    } else {
      record_current_exception("");
    }
  } catch (...) {
    release_lock();
    throw;
  }
  settle_lock();
}

Ref PyDriven::call_compat(const strategy::TickContext& context) {
  ContextValues values;
  values.position = context.position;
  values.entry = context.entry;
  values.short_position = context.short_position;
  values.short_entry = context.short_entry;
  values.equity = context.equity;
  values.working = context.working;
  Ref ctx = Ref::steal(new_context(state_, context.tick, values));
  if (!ctx) return Ref();
  return Ref::steal(PyObject_CallMethodOneArg(strategy_.get(), state_->str_on_tick, ctx.get()));
}

Ref PyDriven::call_batch(const strategy::TickContext& context) {
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
    if (!number || PyObject_SetAttr(object, attribute, number.get()) < 0) return Ref();
  }
  const auto n = static_cast<Py_ssize_t>(pending_.size());
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* tick = new_tick(state_, pending_[static_cast<std::size_t>(i)]);
    if (tick == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i, tick);
  }
  pending_.clear();
  return Ref::steal(PyObject_CallMethodOneArg(object, state_->str_on_batch, list.get()));
}

void PyDriven::take_orders(PyObject* result, const strategy::TickContext& context,
                           std::vector<strategy::Intent>& intents) {
  if (result == Py_None) return;
  if (PyUnicode_Check(result)) {
    fail(bad_return);
    return;
  }
  if (!extract_orders(state_, result, &orders_)) {
    if (!current_error_is_ordinary()) {
      interrupt_ = PendingException::fetch();
      return;
    }
    PyErr_Clear();
    fail(bad_return);
    return;
  }
  for (const OrderRequest& order : orders_) {
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
