// The batch path allocates nothing once warm: a batched strategy that reads
// its batches by column costs a run the same allocations over a hundred
// thousand ticks as over a thousand, from memory and from a tick file.
// This executable replaces the global operator new with a counting one,
// which is why it stands alone.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "backtest/batch_columns.hpp"
#include "backtest/run_loop.hpp"
#include "data/ticks.hpp"
#include "support/counting_new.hpp"

using halvorn::testing::allocations;

namespace halvorn::backtest {
namespace {

// Reads every batch's columns; when it holds, it buys one lot on its first
// batch and keeps it, so that the run marks a position from then on.
struct Reader {
  std::size_t batch;
  bool hold;
  BatchColumns columns{batch};
  std::int64_t checksum = 0;

  void on_tick(const strategy::TickContext& c, std::vector<strategy::Intent>& intents) {
    columns.add(c.tick, c.record, c.in_place);
    if (columns.size() < batch) return;
    const ColumnView v = columns.view();
    const auto* last = reinterpret_cast<const char*>(v.base[2]);
    for (std::size_t r = 0; r < v.length; ++r) {
      checksum +=
          *reinterpret_cast<const std::int64_t*>(last + static_cast<std::ptrdiff_t>(r) * v.stride);
    }
    columns.clear();
    if (hold && c.position == 0 && c.working == 0) {
      intents.push_back(strategy::intent::Market{Side::Buy, Offset::Open, InstrumentId{1}, 1, 1});
    }
  }
  std::string_view name() const { return "reader"; }
  std::size_t idle_ticks() const { return batch - columns.size() - 1; }
  void on_idle_ticks(std::span<const engine::Tick> ticks, std::size_t in_place) {
    columns.add_run(ticks, in_place);
  }
};

std::vector<engine::Tick> series(std::size_t n) {
  std::vector<engine::Tick> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const auto t = static_cast<std::int64_t>(i);
    out[i] = engine::Tick{t, t, 600'000 + t % 13, 600'010, 599'990, 599'999, 600'001, t};
  }
  return out;
}

// A run that also tracks the margin of what it holds.  (An equity curve
// grows with the run, as the result it is, so it stays off here.)
RunConfig watched() {
  RunConfig config;
  config.balance = 1'000 * CASH_SCALE;
  config.track_margin = true;
  return config;
}

std::size_t allocations_of_memory_run(std::size_t n, std::size_t batch, bool hold) {
  const auto ticks = series(n);
  const RunConfig config = watched();
  const std::size_t before = allocations;
  Reader reader{batch, hold};
  SpanTicks source{ticks};
  const RunResult result = run_stream(config, reader, source);
  EXPECT_EQ(result.ticks, n);
  EXPECT_EQ(result.exposed_ticks > 0, hold);
  return allocations - before;
}

std::size_t allocations_of_file_run(std::size_t n, std::size_t batch, bool hold) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("batch-alloc-" + std::to_string(n) + ".hvtk"))
          .string();
  {
    const std::vector<std::uint8_t> bytes = data::encode(1, series(n));
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  const RunConfig config = watched();
  const std::size_t before = allocations;
  Reader reader{batch, hold};
  data::StreamedTicks source(std::move(std::get<data::TickReader>(data::TickReader::open(path))));
  const RunResult result = run_stream(config, reader, source);
  const std::size_t made = allocations - before;
  std::filesystem::remove(path);
  EXPECT_EQ(result.ticks, n);
  EXPECT_EQ(result.exposed_ticks > 0, hold);
  EXPECT_FALSE(source.error());
  return made;
}

TEST(BatchAllocation, ColumnBatchesCostNothingPerBatch) {
  for (bool hold : {false, true}) {
    for (std::size_t batch : {4'096u, 5'000u}) {  // read in place, and copied by column
      SCOPED_TRACE(::testing::Message() << "batch " << batch << " hold " << hold);
      EXPECT_EQ(allocations_of_memory_run(1'000 + batch, batch, hold),
                allocations_of_memory_run(100'000, batch, hold));
      EXPECT_EQ(allocations_of_file_run(1'000 + batch, batch, hold),
                allocations_of_file_run(100'000, batch, hold));
    }
  }
}

}  // namespace
}  // namespace halvorn::backtest
