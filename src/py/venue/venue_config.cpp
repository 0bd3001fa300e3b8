#include "py/venue/venue_config.hpp"

#include "py/venue/account_classes.hpp"
#include "py/venue/rate_text.hpp"
#include "py/venue/tier_classes.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py::venue {

int add_config(PyObject* module, VenueState* st) {
  if (add_classes(module, st, TIER_CLASSES) < 0 || add_classes(module, st, ACCOUNT_CLASSES) < 0 ||
      finish_tier_classes(st) < 0 || finish_account_classes(module, st) < 0) {
    return -1;
  }
  return add_functions(module, rate_functions);
}

}  // namespace halvorn::py::venue
