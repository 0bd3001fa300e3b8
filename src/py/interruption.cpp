#include "py/interruption.hpp"

#include "py/boundary.hpp"

namespace halvorn::py {

bool signal_handler_raised(PendingException* raised) {
  if (python([] { return PyErr_CheckSignals(); }) == 0) return false;
  if (*raised) {
    PyErr_Clear();
  } else {
    *raised = PendingException::fetch();
  }
  return true;
}

bool Interruption::ask() {
  since_ = 0;
  gil_.acquire();
  signal_handler_raised(&pending_);
  return halted();
}

data::ReadHooks Interruption::read_hooks() {
  return data::ReadHooks{
      this,
      [](void* self) { static_cast<Interruption*>(self)->gil_.release(); },
      [](void* self) {
        auto* interruption = static_cast<Interruption*>(self);
        if (interruption->ask()) return true;
        interruption->gil_.release();
        return false;
      },
  };
}

}  // namespace halvorn::py
