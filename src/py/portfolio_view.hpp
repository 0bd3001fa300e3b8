// What a strategy of a portfolio run is shown beyond a one-instrument
// strategy: which instrument the tick (or each tick of a batch) belongs to,
// and the account's position in every instrument; and the instrument an
// order that names one is for.
//
// Before each call it writes onto the strategy `symbol` (the instrument of
// the tick decided on: the last of a batch), `positions` (a read-only
// mapping of symbol to venue.Position, remade only when some position or
// working order may have changed) and, in batches given as lists,
// `batch_symbols` (the symbol of each tick), and once `instruments` (a
// read-only mapping of symbol to venue.Instrument).  A run of one instrument has
// an inactive view, which writes nothing.
//
// Thread-safety: used by one run at a time, with the interpreter lock held.

#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "py/pyref.hpp"
#include "strategy/strategy.hpp"
#include "types/types.hpp"

namespace halvorn::py {

namespace venue {
struct VenueState;
}

class PortfolioView {
 public:
  // Inactive: a run of one instrument.
  PortfolioView() = default;

  // A portfolio of `symbols` (str objects) in holding order: instrument id i
  // + 1 is symbols[i].  False with the exception set.  Requires: the lock.
  static bool of(const venue::VenueState* state, std::vector<Ref> symbols, PortfolioView* out);

  bool active() const { return !symbols_.empty(); }

  // The mapping of symbol to Instrument written as `instruments`.
  void set_instruments(Ref mapping) { instruments_ = std::move(mapping); }

  // The instrument id an order naming `symbol` is for; 0, which no holding
  // has, for a symbol the run does not trade.
  InstrumentId resolve(const std::string& symbol) const {
    const auto it = ids_.find(symbol);
    return InstrumentId{it == ids_.end() ? 0u : it->second};
  }

  // Writes the attributes onto `strategy` for a call on `context`;
  // `batch_instruments` holds the instrument ids of a list batch's ticks
  // (empty otherwise).  False with the exception set.  Requires: the lock.
  bool write(PyObject* strategy, const strategy::TickContext& context,
             std::span<const std::int64_t> batch_instruments) {
    // A run of one instrument has no view, on every tick: answered here,
    // without a call.
    return !active() || write_view(strategy, context, batch_instruments);
  }

  // Drops the references it holds.  Requires: the lock is held.
  void drop();

 private:
  bool write_view(PyObject* strategy, const strategy::TickContext& context,
                  std::span<const std::int64_t> batch_instruments);
  PyObject* symbol_of(std::int64_t instrument) const;
  bool remake_positions(const strategy::TickContext& context);

  const venue::VenueState* state_ = nullptr;
  std::vector<Ref> symbols_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  Ref positions_;    // the mapping last written
  Ref instruments_;  // symbol to Instrument, written once
  std::uint64_t revision_ = 0;
  bool written_ = false;
};

}  // namespace halvorn::py
