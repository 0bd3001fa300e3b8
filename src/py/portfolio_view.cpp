#include "py/portfolio_view.hpp"

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

bool PortfolioView::of(const venue::VenueState* state, std::vector<Ref> symbols,
                       PortfolioView* out) {
  *out = PortfolioView();
  out->state_ = state;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    std::string text;
    if (!utf8_of(symbols[i].get(), &text)) return false;
    out->ids_.emplace(std::move(text), static_cast<std::uint32_t>(i + 1));
  }
  out->symbols_ = std::move(symbols);
  return true;
}

PyObject* PortfolioView::symbol_of(std::int64_t instrument) const {
  const auto at = static_cast<std::size_t>(instrument - 1);
  return at < symbols_.size() ? symbols_[at].get() : Py_None;
}

bool PortfolioView::remake_positions(const strategy::TickContext& context) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return false;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(state_->position_type);
  for (const strategy::Position& p : context.positions) {
    Ref item = Ref::steal(PyStructSequence_New(type));
    if (!item) return false;
    PyObject* symbol = symbol_of(p.instrument.value);
    PyObject* values[] = {Py_NewRef(symbol),
                          PyLong_FromLongLong(p.position),
                          PyLong_FromLongLong(p.entry),
                          PyLong_FromLongLong(p.short_position),
                          PyLong_FromLongLong(p.short_entry),
                          PyLong_FromSize_t(p.working)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 6; ++i) {
      if (values[i] == nullptr) ok = false;
      PyStructSequence_SetItem(item.get(), i, values[i]);  // steals, null included
    }
    if (!ok || PyDict_SetItem(dict.get(), symbol, item.get()) < 0) return false;
  }
  Ref proxy = Ref::steal(PyDictProxy_New(dict.get()));
  if (!proxy) return false;
  positions_ = std::move(proxy);
  revision_ = context.revision;
  return true;
}

bool PortfolioView::write_view(PyObject* strategy, const strategy::TickContext& context,
                               std::span<const std::int64_t> batch_instruments) {
  if ((!written_ || revision_ != context.revision) && !remake_positions(context)) return false;
  auto set = [&](PyObject* name, PyObject* value) {
    return python([&] { return PyObject_SetAttr(strategy, name, value); }) == 0;
  };
  if (!written_ && instruments_ && !set(state_->str_instruments, instruments_.get())) return false;
  written_ = true;
  if (!set(state_->str_symbol, symbol_of(context.instrument.value)) ||
      !set(state_->str_positions, positions_.get())) {
    return false;
  }
  if (batch_instruments.empty()) return true;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch_instruments.size())));
  if (!list) return false;
  for (std::size_t i = 0; i < batch_instruments.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    Py_NewRef(symbol_of(batch_instruments[i])));
  }
  return set(state_->str_batch_symbols, list.get());
}

void PortfolioView::drop() {
  symbols_.clear();
  positions_ = Ref();
  instruments_ = Ref();
}

}  // namespace halvorn::py
