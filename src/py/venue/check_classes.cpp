#include "py/venue/check_classes.hpp"

#include "py/argument_conversion.hpp"
#include "py/boundary.hpp"
#include "py/boxed.hpp"
#include "py/results.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

namespace {

template <const char* Function>
PyObject* unit_repr(PyObject* self) {
  return guarded(state_of_type(Py_TYPE(self)),
                 [&] { return call_python("halvorn._unit_text", Function, {self}); });
}

constexpr char comparison_repr_name[] = "comparison_repr";
constexpr char lookahead_repr_name[] = "lookahead_repr";

PyType_Slot comparison_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Comparison>)},
    {Py_tp_repr, reinterpret_cast<void*>(unit_repr<comparison_repr_name>)},
    {Py_tp_getset, comparison_getset},
    {Py_tp_doc, const_cast<char*>("What batching cost, measured on this strategy and this data,\n"
                                  "on a venue: halvorn.ModeComparison's values, its difference\n"
                                  "in equity (Cash) printed in USDT.")},
    {0, nullptr},
};

PyType_Spec comparison_spec = {"halvorn.venue.ModeComparison",
                               static_cast<int>(sizeof(Boxed<Comparison>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, comparison_slots};

PyType_Slot report_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<Report>)},
    {Py_tp_repr, reinterpret_cast<void*>(unit_repr<lookahead_repr_name>)},
    {Py_tp_getset, report_getset},
    {Py_tp_doc,
     const_cast<char*>("What a venue's lookahead check found: halvorn.LookaheadReport's\n"
                       "values, printed with the time of the first divergence in UTC.")},
    {0, nullptr},
};

PyType_Spec report_spec = {"halvorn.venue.LookaheadReport", static_cast<int>(sizeof(Boxed<Report>)),
                           0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, report_slots};

}  // namespace

const std::array<ClassEntry<VenueState>, 2> CHECK_CLASSES = {{
    {[] { return &comparison_spec; }, &VenueState::mode_comparison_type},
    {[] { return &report_spec; }, &VenueState::lookahead_report_type},
}};

}  // namespace halvorn::py::venue
