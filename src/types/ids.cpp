#include "types/ids.hpp"

namespace halvorn {

std::string to_string(InstrumentId id) {
  return "InstrumentId(" + std::to_string(id.value) + ")";
}

std::ostream& operator<<(std::ostream& os, InstrumentId id) { return os << to_string(id); }

}  // namespace halvorn
