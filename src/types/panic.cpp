#include "types/panic.hpp"

namespace halvorn {

void panic(std::string_view message) { throw Panic(std::string(message)); }

}  // namespace halvorn
