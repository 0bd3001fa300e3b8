#include "data/funding_csv.hpp"

#include "types/overloaded.hpp"

namespace halvorn::data {

std::variant<std::vector<FundingRow>, ConvertError> read_funding(const Input& input,
                                                                 const StreamOptions& options,
                                                                 const Progress& progress) {
  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  // Funding rows have no prices or quantities; the steps are never used.
  const Step one = *parse_step("1");
  RowStream rows(StreamKind::Funding, input, options, Scaling{one, one, false, false}, &meter);
  std::vector<FundingRow> out;
  Row r;
  while (rows.next(&r)) out.push_back(FundingRow{r.exch, r.a, r.b});
  if (rows.error()) return *rows.error();
  return out;
}

std::string PricingError::display() const {
  return std::visit(
      Overloaded{
          [](const NoTickBefore& e) {
            return "no tick at or before the funding rate at " + std::to_string(e.time) +
                   " ns (rate " + std::to_string(e.rate) + " billionths, number " +
                   std::to_string(e.index) + " from 0)";
          },
          [](const RatesUnordered& e) {
            return "funding rate " + std::to_string(e.index) + " at " + std::to_string(e.time) +
                   " ns is before the rate before it, at " + std::to_string(e.previous) + " ns";
          },
          [](const RatesRepeated& e) {
            return "funding rates " + std::to_string(e.index - 1) + " and " +
                   std::to_string(e.index) + " are both at " + std::to_string(e.time) +
                   " ns: a venue settles once per time; remove the repeated row";
          },
          [](const Error& e) { return "tick file: " + e.display(); },
      },
      kind);
}

std::variant<std::vector<PricedRate>, PricingError> price_funding(std::span<const FundingRow> rates,
                                                                  TickReader& reader) {
  std::vector<PricedRate> out;
  out.reserve(rates.size());
  // The last price at or before the current rate, and the first tick after
  // it, read but not yet used.  Plain values and flags rather than optional
  // ticks: the compiler cannot see that an optional tick is set when read.
  std::int64_t held_last = 0;
  bool holding = false;
  engine::Tick ahead{};
  bool waiting = false;
  bool ended = false;
  for (std::size_t i = 0; i < rates.size(); ++i) {
    const FundingRow& rate = rates[i];
    if (i > 0 && rate.time < rates[i - 1].time) {
      return PricingError{RatesUnordered{i, rate.time, rates[i - 1].time}};
    }
    if (i > 0 && rate.time == rates[i - 1].time) return PricingError{RatesRepeated{i, rate.time}};
    for (;;) {
      if (!waiting && !ended) {
        Next n = reader.next();
        if (auto* t = std::get_if<engine::Tick>(&n)) {
          ahead = *t;
          waiting = true;
        } else if (auto* e = std::get_if<Error>(&n)) {
          return PricingError{*e};
        } else {
          ended = true;
        }
      }
      if (!waiting || ahead.exch_ts > rate.time) break;
      held_last = ahead.last;
      holding = true;
      waiting = false;
    }
    if (!holding) return PricingError{NoTickBefore{i, rate.time, rate.rate}};
    out.push_back(PricedRate{rate.time, rate.rate, held_last});
  }
  return out;
}

}  // namespace halvorn::data
