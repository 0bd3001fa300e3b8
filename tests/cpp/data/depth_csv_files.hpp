// Helpers for the depth CSV tests: a conversion from files in memory that
// reads its depth file back, and the options the tests mostly use.

#pragma once

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "csv_files.hpp"
#include "data/depth_csv.hpp"
#include "depth_files.hpp"

namespace halvorn::data::testing {

// The records a conversion wrote, read back, or its error text.
struct DepthOutcome {
  std::vector<DepthRecord> records;
  std::string error;
  DepthConverted done;
};

inline DepthOutcome convert_depth_to(const std::string& path, MemoryFiles files,
                                     const DepthConvertOptions& options,
                                     const Progress& progress = {}) {
  DepthOutcome o;
  DepthConversion c = convert_depth_csv(path, files.input(), options, progress);
  if (auto* e = std::get_if<ConvertError>(&c)) {
    o.error = e->display();
    return o;
  }
  o.done = std::get<DepthConverted>(c);
  DepthReader reader = open_depth(path);
  EXPECT_EQ(reader.instrument(), options.instrument);
  DrainedDepth d = drain(reader);
  EXPECT_FALSE(d.error) << d.error->display();
  o.records = std::move(d.records);
  return o;
}

inline DepthConvertOptions depth_options(std::string tick = "0.1", std::string lot = "0.001") {
  DepthConvertOptions o;
  o.tick_size = std::move(tick);
  o.lot_size = std::move(lot);
  return o;
}

inline const char* const DIFFS_HEADER =
    "symbol,timestamp,trans_id,first_update_id,last_update_id,side,update_type,price,qty\n";
inline const char* const CLOCKED_HEADER =
    "exchange,symbol,timestamp,local_timestamp,is_snapshot,side,price,amount\n";

}  // namespace halvorn::data::testing
