#include "py/run_files.hpp"

#include <algorithm>
#include <utility>
#include <variant>

#include "backtest/kway_merge.hpp"
#include "py/market_data/slices.hpp"

namespace halvorn::py {

namespace {

// Opens a depth or mark file for a run into `opened`; false for a slice
// whose file has changed since it was made.
bool open_for_run(const market_data::DepthSourceData& depth,
                  std::optional<data::DepthOpened>& opened) {
  opened = market_data::open_depth(depth);
  return opened.has_value();
}
bool open_for_run(const market_data::MarkSourceData& marks,
                  std::optional<data::MarkOpened>& opened) {
  opened = market_data::open_marks(marks);
  return opened.has_value();
}
// Raises what open_for_run found: a slice whose file changed.
void raise_changed(const market_data::DepthSourceData& depth) {
  market_data::raise_changed_depth(depth);
}
void raise_changed(const market_data::MarkSourceData& marks) {
  market_data::raise_changed_marks(marks);
}

// Opens the file each instrument has of one kind (null: none) with the
// interpreter lock released: `streams[i]` streams instrument i's.  False
// with the exception set, by `raise`, when one does not open.
template <class Reader, class Error, class Streamed, class Given, class Raise>
bool open_each(Gil& gil, std::span<const Given* const> given,
               std::vector<std::optional<Streamed>>& streams, Raise raise) {
  streams.resize(given.size());
  for (std::size_t i = 0; i < given.size(); ++i) {
    if (given[i] == nullptr) continue;
    std::optional<decltype(Reader::open(given[i]->fs_path))> opened;
    bool changed = false;
    run_unlocked(gil, [&] { changed = !open_for_run(*given[i], opened); });
    if (changed) {
      raise_changed(*given[i]);
      return false;
    }
    if (const auto* error = std::get_if<Error>(&*opened)) {
      raise(*given[i], *error);
      return false;
    }
    streams[i].emplace(std::move(std::get<Reader>(*opened)));
  }
  return true;
}

// Opens the tick file of each input that is one, with the lock released.
bool open_ticks(Gil& gil, data::ReadHooks hooks, PendingException& interrupt,
                std::span<const TickInput> inputs, RunFiles* out) {
  out->ticks.resize(inputs.size());
  const std::size_t file_count = static_cast<std::size_t>(std::count_if(
      inputs.begin(), inputs.end(),
      [](const TickInput& input) { return !std::holds_alternative<TickArray>(input); }));
  // One file reads the usual blocks.
  const std::size_t block_records = backtest::merge_read_records(file_count, data::BLOCK_RECORDS);
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const auto* given = std::get_if<const TickSourceData*>(&inputs[i]);
    if (given == nullptr) continue;
    const TickSourceData& file = **given;
    std::optional<data::Opened> opened;
    run_unlocked(gil, [&] { opened = open_source(file, hooks, block_records); });
    if (!opened) {
      raise_changed_file(file);
      return false;
    }
    // A file that did not open, or an open a Ctrl-C cut short (a pipe that
    // waits for its writer): the interrupt is the adapter's to raise.
    auto* reader = std::get_if<data::TickReader>(&*opened);
    if (reader == nullptr) {
      if (interrupt) {
        interrupt.restore();
      } else if (const auto* error = std::get_if<data::Error>(&*opened)) {
        raise_tick_file_error(file, *error);
      } else {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
      }
      return false;
    }
    out->tick_records += reader->records();
    out->ticks[i].emplace(std::move(*reader));
  }
  return true;
}

}  // namespace

bool open_run_files(Gil& gil, data::ReadHooks hooks, PendingException& interrupt,
                    std::span<const TickInput> inputs,
                    std::span<const market_data::DepthSourceData* const> depth,
                    std::span<const market_data::MarkSourceData* const> marks, RunFiles* out) {
  return open_each<data::DepthReader, data::DepthError>(gil, depth, out->depth,
                                                        market_data::raise_depth_file_error) &&
         open_each<data::MarkReader, data::MarkError>(gil, marks, out->marks,
                                                      market_data::raise_mark_file_error) &&
         open_ticks(gil, hooks, interrupt, inputs, out);
}

}  // namespace halvorn::py
