#include "data/csv_convert.hpp"

#include <algorithm>
#include <memory>
#include <optional>

#include "types/panic.hpp"

namespace halvorn::data {

namespace {

// The column of a trade layout that holds the quantity, for the one error
// found after a row has left its stream (the volume passing the limit).
std::string quantity_column(Layout layout) {
  const std::span<const LayoutColumn> columns = layout_entry(layout).columns;
  return std::string(columns[layout == Layout::ClockedTrades ? 7 : 2].name);
}

// Ticks on their way to the writer, a block at a time.
class Output {
 public:
  explicit Output(TickWriter writer)
      : writer_(std::move(writer)), block_(std::make_unique<engine::Tick[]>(BLOCK_RECORDS)) {}

  bool add(const engine::Tick& t) {
    block_[n_++] = t;
    return n_ < BLOCK_RECORDS || flush();
  }
  bool flush() {
    std::optional<WriteError> e = writer_.append({block_.get(), n_});
    n_ = 0;
    return check(std::move(e));
  }
  bool finish() { return flush() && check(writer_.finish()); }
  std::uint64_t count() const { return writer_.count() + n_; }
  ClockFindings clock() const { return writer_.clock(); }
  std::optional<WriteFailed> error;

 private:
  bool check(std::optional<WriteError> e) {
    if (!e) return true;
    // The merge hands out ticks in time order by construction; the writer
    // refusing one as out of order would be a fault here, not in the data.
    if (!std::holds_alternative<WriteFailed>(*e)) panic("merged ticks are in time order");
    error = std::get<WriteFailed>(std::move(*e));
    return false;
  }

  TickWriter writer_;
  std::unique_ptr<engine::Tick[]> block_;
  std::size_t n_ = 0;
};

ConvertError stream_error(const RowStream& s) {
  if (!s.error()) panic("a stream that stops early says why");
  return *s.error();
}

}  // namespace

Conversion convert_csv(const std::string& path, const Input& trades, const Input* quotes,
                       const ConvertOptions& options, const Progress& progress) {
  std::optional<Step> tick = parse_step(options.tick_size);
  if (!tick) return ConvertError{Place{}, BadStep{"tick_size", options.tick_size}};
  std::optional<Step> lot = parse_step(options.lot_size);
  if (!lot) return ConvertError{Place{}, BadStep{"lot_size", options.lot_size}};
  const Scaling scaling{*tick, *lot, options.round, options.allow_gaps, options.repeats};

  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  RowStream trade_rows(StreamKind::Trades, trades, options.trades, scaling, &meter);
  std::optional<RowStream> quote_rows;
  if (quotes != nullptr) {
    quote_rows.emplace(StreamKind::Quotes, *quotes, options.quotes, scaling, &meter);
  }

  WriterBegun begun = TickWriter::begin(path, options.instrument);
  if (auto* e = std::get_if<WriteFailed>(&begun)) return ConvertError{Place{}, std::move(*e)};
  TickWriter& writer = std::get<TickWriter>(begun);
  if (writer.set_instrument(
          options.contract.define(options.instrument, options.symbol, *tick, *lot))) {
    panic("a conversion's symbol is one a file can hold");
  }
  Output out(std::move(writer));

  Converted done;
  Row trade, quote;
  bool have_trade = trade_rows.next(&trade);
  bool have_quote = quote_rows && quote_rows->next(&quote);
  std::int64_t bid = 0, ask = 0, last = 0, volume = 0;
  bool traded = false;
  bool quoted = false;  // a quote row has been read
  Nanos quoted_at = 0;  // the time of the latest quote row
  while (have_trade || have_quote) {
    if (have_trade && (!have_quote || trade.exch <= quote.exch)) {
      if (__builtin_add_overflow(volume, trade.b, &volume)) {
        return ConvertError{
            trade_rows.place(trade),
            OutOfRange{quantity_column(trade_rows.layout()), std::to_string(trade.b), Limit::Volume,
                       "lots of " + lot->text}};
      }
      last = trade.a;
      traded = true;
      ++done.trades;
      std::int64_t tick_bid = bid, tick_ask = ask;
      if (quoted) {
        // A quote row that repeats the prices still says they held; the age
        // is counted from the latest row, not the latest change.
        const Nanos age = trade.exch - quoted_at;
        if (age > done.oldest_quote) done.oldest_quote = age;
        if (options.stale_after > 0 && age > options.stale_after) {
          if (options.stale == ConvertOptions::Stale::Refuse) {
            return ConvertError{trade_rows.place(trade),
                                StaleQuote{age, quoted_at, options.stale_after, !have_quote}};
          }
          ++done.stale_ticks;
          if (options.stale == ConvertOptions::Stale::Clear) tick_bid = tick_ask = 0;
        }
      }
      if (const std::optional<double> bp = outside_quote_bp(last, tick_bid, tick_ask);
          bp && *bp > options.outside_bp) {
        if (done.outside++ == 0) done.first_outside = trade_rows.place(trade);
        done.farthest_bp = std::max(done.farthest_bp, *bp);
      }
      if (!out.add(engine::Tick{trade.exch, trade.local, last, last, last, tick_bid, tick_ask,
                                volume})) {
        break;
      }
      have_trade = trade_rows.next(&trade);
      if (!have_trade && trade_rows.error()) break;
    } else {
      ++done.quotes;
      const bool changed = quote.a != bid || quote.b != ask;
      bid = quote.a;
      ask = quote.b;
      quoted = true;
      quoted_at = quote.exch;
      if (changed && traded) {
        ++done.quote_ticks;
        if (!out.add(engine::Tick{quote.exch, quote.local, last, last, last, bid, ask, volume})) {
          break;
        }
      }
      have_quote = quote_rows->next(&quote);
      if (!have_quote && quote_rows->error()) break;
    }
  }
  if (out.error) return ConvertError{Place{}, std::move(*out.error)};
  // A stream that ended at an error, not at its end, leaves the file
  // unwritten: the writer is dropped unfinished and the target untouched.
  if (trade_rows.error()) return stream_error(trade_rows);
  if (quote_rows && quote_rows->error()) return stream_error(*quote_rows);
  // Quotes alone make no tick, since a tick carries the last trade price;
  // a file of none would look like a quiet market rather than a mistake.
  if (done.trades == 0 && done.quotes > 0) return ConvertError{Place{}, NoTrades{done.quotes}};
  done.duplicates = trade_rows.duplicates();
  done.first_duplicate = trade_rows.first_duplicate();
  done.ticks = out.count();
  if (!out.finish()) return ConvertError{Place{}, std::move(*out.error)};
  done.clock = out.clock();
  done.bytes = meter.bytes;
  // A last report, so that a caller's display ends at the true totals.
  if (progress.report != nullptr) (void)progress.report(progress.context, meter.bytes, meter.rows);
  return done;
}

}  // namespace halvorn::data
