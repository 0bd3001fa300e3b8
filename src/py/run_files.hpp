// The one road that opens a run's files: each instrument's tick file, depth
// file and mark file, for a run of one instrument and for every instrument
// of a portfolio alike.
//
// Every file is opened before the first tick, with the interpreter lock
// released (an open may block: a pipe waits for its writer), and what keeps
// one from opening is raised before any strategy method is called: a slice
// whose file has changed since it was made, a file that cannot be used
// ("{path}: {error}"), or a Ctrl-C that cut an open short.
//
// Thread-safety: called with the interpreter lock held.

#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/depth_reader.hpp"
#include "data/mark_reader.hpp"
#include "data/ticks.hpp"
#include "py/gil.hpp"
#include "py/market_data/depth_sources.hpp"
#include "py/market_data/mark_sources.hpp"
#include "py/pending_exception.hpp"
#include "py/tick_files.hpp"

namespace halvorn::py {

// A run's files, open and streamed.  Index i of each list is the run's
// instrument i (a portfolio's instrument id i + 1); an instrument without a
// file of that kind has nullopt there, and a kind no instrument was given
// has an empty list.
// Invariants: the lists are sized once, by open_run_files, so that a
// stream's address holds for the run.
struct RunFiles {
  std::vector<std::optional<data::StreamedTicks>> ticks;
  std::vector<std::optional<data::StreamedDepth>> depth;
  std::vector<std::optional<data::StreamedMarks>> marks;
  // The records the tick files hold together.
  std::uint64_t tick_records = 0;
};

// Opens every file the run was given: depth and mark files first, since
// they never wait, then the tick files of `inputs` (a series in memory
// opens nothing), each read `hooks` in blocks sized so that the files of a
// large basket do not crowd each other out of the caches.  `depth` and
// `marks` hold one entry per instrument (null for none) or none at all.
// False with the exception set when one does not open: a Ctrl-C the hooks
// caught is `interrupt` restored, or KeyboardInterrupt.
bool open_run_files(Gil& gil, data::ReadHooks hooks, PendingException& interrupt,
                    std::span<const TickInput> inputs,
                    std::span<const market_data::DepthSourceData* const> depth,
                    std::span<const market_data::MarkSourceData* const> marks, RunFiles* out);

}  // namespace halvorn::py
