// The tick record: one market observation as it travels through the system.
//
// Eight signed 64-bit integers in the engine's own units, in the order of a
// tick-file record and of the Python class's attributes.  A bid, ask, high or
// low of zero or less means "absent"; each consumer says what it falls back on.
//
// Thread-safety: a plain value, copied freely.

#pragma once

#include <cstdint>

#include "types/time.hpp"

namespace halvorn::engine {

struct Tick {
  Nanos exch_ts = 0;        // when the venue says the observation happened
  Nanos local_ts = 0;       // when this process saw it
  std::int64_t last = 0;    // last traded price, ticks
  std::int64_t high = 0;    // high over the observation, ticks
  std::int64_t low = 0;     // low over the observation, ticks
  std::int64_t bid = 0;     // best bid, ticks; 0 when the book had none
  std::int64_t ask = 0;     // best ask, ticks; 0 when the book had none
  std::int64_t volume = 0;  // cumulative traded volume, lots

  friend bool operator==(const Tick&, const Tick&) = default;
};

static_assert(sizeof(Tick) == 64, "a tick is exactly one 64-byte file record");

}  // namespace halvorn::engine
