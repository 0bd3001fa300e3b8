#include "py/run_instruments.hpp"

#include "py/venue/instrument_class.hpp"

namespace halvorn::py {

bool RunInstruments::add(const venue::VenueState* state, InstrumentId id,
                         const std::optional<data::InstrumentDefinition>& definition) {
  state_ = state;
  Ref object =
      definition ? Ref::steal(venue::new_instrument(state, *definition)) : Ref::borrow(Py_None);
  if (!object) return false;
  held_.push_back(Held{id, std::move(object), definition});
  return true;
}

PyObject* RunInstruments::by_symbol(const std::vector<Ref>& symbols) const {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < symbols.size() && i < held_.size(); ++i) {
    if (PyDict_SetItem(dict.get(), symbols[i].get(), held_[i].object.get()) < 0) return nullptr;
  }
  return PyDictProxy_New(dict.get());
}

}  // namespace halvorn::py
