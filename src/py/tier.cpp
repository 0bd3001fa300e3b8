#include "py/tier.hpp"

#include "py/tier_run.hpp"
#include "types/fixed.hpp"

namespace halvorn::py {

namespace {

// Adds a class made by `create` under `name` and keeps a strong reference to
// it in `*slot` for the code that instantiates it.
int add_class(PyObject* module, const char* name, PyTypeObject** slot,
              PyObject* (*create)(PyObject*)) {
  PyObject* type = create(module);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
  return add_to_module(module, name, type);
}

}  // namespace

int register_tier(PyObject* module) {
  ModuleState* st = state_of_module(module);
  if (add_to_module(module, "CASH_SCALE", PyLong_FromLongLong(CASH_SCALE)) < 0) return -1;
  if (add_class(module, "Tick", &st->tick_type, create_tick_type) < 0) return -1;
  if (add_class(module, "TickSource", &st->tick_source_type, create_tick_source_type) < 0) {
    return -1;
  }
  if (add_class(module, "Context", &st->context_type, create_context_type) < 0) return -1;
  if (add_class(module, "Order", &st->order_type, create_order_type) < 0) return -1;
  if (add_class(module, "RunResult", &st->run_result_type, create_run_result_type) < 0) return -1;
  if (add_class(module, "ModeComparison", &st->mode_comparison_type, create_mode_comparison_type) <
      0) {
    return -1;
  }
  if (add_class(module, "LookaheadReport", &st->lookahead_report_type,
                create_lookahead_report_type) < 0) {
    return -1;
  }
  if (add_tick_file_functions(module) < 0) return -1;
  return add_run_functions(module);
}

}  // namespace halvorn::py
