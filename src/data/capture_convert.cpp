#include "data/capture_convert.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <queue>
#include <vector>

#include "book/depth_book.hpp"
#include "data/capture_message.hpp"
#include "data/depth_writer.hpp"
#include "data/mark_writer.hpp"
#include "data/tick_writer.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

// The most messages that may wait at once: what bounds memory when a
// capture's clock stands still.
constexpr std::size_t MAX_WAITING = std::size_t{1} << 20;

// A message waiting for its turn, with where it was read.
struct Held {
  CaptureMessage message;
  std::uint32_t file = 0;
  std::uint64_t line = 0;
};

// Messages of a capture, handed out in exchange-time order once no message
// still to come may precede them: those stamped more than `delay` before the
// latest one read.  Slots are reused, so that steady reading allocates
// nothing (a depth message's levels keep their room).
class Window {
 public:
  explicit Window(Nanos delay) : delay_(delay) {}

  // A slot to read the next message into.
  Held& next_slot() {
    if (free_.empty()) {
      slots_.push_back(std::make_unique<Held>());
      free_.push_back(static_cast<std::uint32_t>(slots_.size() - 1));
    }
    return *slots_[free_.back()];
  }

  // Keeps the message just read into next_slot().  False with the error
  // when it comes too late or too much is waiting.
  bool keep(CaptureError* error) {
    const std::uint32_t slot = free_.back();
    const Held& h = *slots_[slot];
    const Nanos t = h.message.exch;
    if (any_out_ && t < out_time_) {
      error->kind = TooLate{t, out_time_, delay_};
      return false;
    }
    if (heap_.size() == MAX_WAITING) {
      error->kind = WindowFull{delay_};
      return false;
    }
    free_.pop_back();
    // At one time a trade goes first (what follows it may be its
    // consequence), then a snapshot fetched apart from the stream (an update
    // of its time is in it or after it, never before it).
    const CaptureMessage& m = h.message;
    const std::uint8_t rank = m.kind == MessageKind::Trade                        ? 0
                              : m.kind == MessageKind::DepthSnapshot && m.fetched ? 1
                                                                                  : 2;
    heap_.push(Key{t, rank, seq_++, slot});
    if (!any_in_ || t > newest_) newest_ = t;
    any_in_ = true;
    return true;
  }

  // The next message whose turn has come (all of them when `all`), or null.
  // It stays valid until release().
  Held* ready(bool all) {
    if (heap_.empty()) return nullptr;
    const Key& top = heap_.top();
    Nanos horizon = 0;
    if (!all && (__builtin_sub_overflow(newest_, delay_, &horizon) || top.time >= horizon)) {
      return nullptr;
    }
    current_ = top.slot;
    out_time_ = top.time;
    any_out_ = true;
    heap_.pop();
    return slots_[current_].get();
  }
  void release() { free_.push_back(current_); }

 private:
  struct Key {
    Nanos time;
    std::uint8_t rank;
    std::uint64_t seq;
    std::uint32_t slot;
    bool operator>(const Key& o) const {
      if (time != o.time) return time > o.time;
      if (rank != o.rank) return rank > o.rank;
      return seq > o.seq;
    }
  };
  Nanos delay_;
  std::vector<std::unique_ptr<Held>> slots_;
  std::vector<std::uint32_t> free_;
  std::priority_queue<Key, std::vector<Key>, std::greater<Key>> heap_;
  std::uint64_t seq_ = 0;
  std::uint32_t current_ = 0;
  bool any_in_ = false;
  Nanos newest_ = 0;
  bool any_out_ = false;
  Nanos out_time_ = 0;
};

// Fails with the file system's error writing `path`, which no line caused.
bool write_failed(CaptureError* error, const std::string& path, int code) {
  error->where = Place{};
  error->kind = WriteFailed{path, code};
  return false;
}

// Ticks from trades and best quotes, as CSV conversion makes them.
class TickOut {
 public:
  TickOut(TickWriter writer, const Step& lot, bool allow_gaps)
      : writer_(std::move(writer)),
        block_(std::make_unique<engine::Tick[]>(BLOCK_RECORDS)),
        lot_(lot),
        allow_gaps_(allow_gaps) {}

  bool take(const CaptureMessage& m, CaptureConverted* done, CaptureError* error) {
    if (m.kind == MessageKind::Quote) {
      ++done->quotes;
      const bool changed = m.bid != bid_ || m.ask != ask_;
      bid_ = m.bid;
      ask_ = m.ask;
      return !changed || !traded_ ||
             add({m.exch, m.local, last_, last_, last_, bid_, ask_, volume_}, error);
    }
    std::optional<std::int64_t>& last_id = m.aggregated ? last_agg_ : last_plain_;
    if (last_id && m.id <= *last_id) {
      // Given again, as a stream does after a reconnection: counted once.
      ++done->repeated_trades;
      return true;
    }
    if (m.aggregated && last_id && m.id - *last_id > 1) {
      if (!allow_gaps_) {
        error->kind = TradeGap{*last_id, m.id};
        return false;
      }
      done->missing_trades += static_cast<std::uint64_t>(m.id - *last_id - 1);
    }
    last_id = m.id;
    if (__builtin_add_overflow(volume_, m.qty, &volume_)) {
      error->kind = FieldRange{"q", std::to_string(m.qty), Limit::Volume, "lots of " + lot_.text};
      return false;
    }
    last_ = m.price;
    traded_ = true;
    ++done->trades;
    return add({m.exch, m.local, last_, last_, last_, bid_, ask_, volume_}, error);
  }

  bool finish(CaptureError* error) { return flush(error) && check(writer_.finish(), error); }
  std::uint64_t count() const { return writer_.count() + n_; }
  bool set_symbol(const InstrumentDefinition& d) { return !writer_.set_instrument(d); }

 private:
  bool add(const engine::Tick& t, CaptureError* error) {
    block_[n_++] = t;
    return n_ < BLOCK_RECORDS || flush(error);
  }
  bool flush(CaptureError* error) {
    std::optional<WriteError> e = writer_.append({block_.get(), n_});
    n_ = 0;
    return check(std::move(e), error);
  }
  bool check(std::optional<WriteError> e, CaptureError* error) {
    if (!e) return true;
    // The window hands messages out in time order; a tick refused as out of
    // order would be a fault here, not in the capture.
    if (!std::holds_alternative<WriteFailed>(*e)) panic("capture ticks are in time order");
    error->where = Place{};
    error->kind = std::get<WriteFailed>(std::move(*e));
    return false;
  }

  TickWriter writer_;
  std::unique_ptr<engine::Tick[]> block_;
  std::size_t n_ = 0;
  const Step& lot_;
  bool allow_gaps_;
  std::int64_t bid_ = 0, ask_ = 0, last_ = 0, volume_ = 0;
  bool traded_ = false;
  std::optional<std::int64_t> last_plain_, last_agg_;
};

// Depth records, with the stream checked as a run's book applies it.
class DepthOut {
 public:
  DepthOut(DepthWriter writer, std::string path, bool allow_gaps)
      : writer_(std::move(writer)), path_(std::move(path)), allow_gaps_(allow_gaps) {}

  bool take(CaptureMessage& m, CaptureConverted* done, CaptureError* error) {
    book::DepthRecord record{m.exch, book::DepthSnapshot{}};
    if (m.kind == MessageKind::DepthSnapshot) {
      ++done->snapshots;
      snapshot_id_ = m.final_id;
      last_final_.reset();
      record.entry = book::DepthSnapshot{m.final_id, std::move(m.bids), std::move(m.asks)};
    } else {
      ++done->updates;
      book::DepthUpdate u{
          m.prev_id, std::move(m.bids), std::move(m.asks), floor_ms(m.exch), m.first_id, m.final_id,
          m.exch};
      const book::ApplyResult verdict = book::sequence_verdict(snapshot_id_, last_final_, u);
      if (std::holds_alternative<book::apply::Applied>(verdict)) {
        last_final_ = u.final_id;
      } else if (book::is_error(verdict) &&
                 !std::holds_alternative<book::apply::NoSnapshot>(verdict)) {
        // Updates before the first snapshot are what a recorder buffers
        // while it fetches one; a break after it loses the book.
        if (!allow_gaps_) {
          error->kind =
              DepthBreak{u.first_id, u.final_id, u.prev_final_id, book::to_string(verdict)};
          return false;
        }
        ++done->depth_breaks;
        snapshot_id_.reset();
        last_final_.reset();
      }
      record.entry = std::move(u);
    }
    if (writer_.add(record)) panic("capture depth records are in time order and in bounds");
    // The levels go back to the message's slot, whose room they keep.
    std::visit(
        [&](auto& e) {
          m.bids = std::move(e.bids);
          m.asks = std::move(e.asks);
        },
        record.entry);
    if (int code = writer_.failed()) return write_failed(error, path_, code);
    return true;
  }

  bool finish(CaptureError* error) {
    if (int code = writer_.commit()) return write_failed(error, path_, code);
    return true;
  }
  std::uint64_t count() const { return writer_.count(); }
  bool set_symbol(const InstrumentDefinition& d) { return !writer_.set_instrument(d); }

 private:
  static std::int64_t floor_ms(Nanos t) {
    return t >= 0 ? t / 1'000'000 : -((-(t + 1)) / 1'000'000) - 1;
  }

  DepthWriter writer_;
  std::string path_;
  bool allow_gaps_;
  std::optional<std::uint64_t> snapshot_id_;
  std::optional<std::uint64_t> last_final_;
};

// Mark records, and the funding settled as its times pass.
class MarkOut {
 public:
  MarkOut(MarkWriter writer, std::string path)
      : writer_(std::move(writer)), path_(std::move(path)) {}

  bool take(const CaptureMessage& m, CaptureError* error) {
    if (due_ && m.exch > due_time_ && !settle(error)) return false;
    if (m.funding_time) {
      // A time already settled is a late message's, not a new announcement;
      // a different time replaces one that has not come.
      if (!(settled_ && *m.funding_time <= settled_time_) &&
          (!due_ || *m.funding_time != due_time_)) {
        due_ = true;
        due_time_ = *m.funding_time;
        rated_ = false;
      }
    }
    if (m.funding_rate && due_ && (!m.funding_time || *m.funding_time == due_time_)) {
      rated_ = true;
      rate_ = *m.funding_rate;
    }
    mark_ = m.mark;
    last_time_ = m.exch;
    if (!written_ || written_->mark != m.mark || written_->index != m.index) {
      written_ = MarkRecord{m.exch, m.mark, m.index};
      if (writer_.add(*written_)) panic("capture marks are in time order");
    }
    return check(error);
  }

  bool finish(CaptureError* error) {
    // A funding time the last update reached is settled too.
    if (due_ && last_time_ >= due_time_ && !settle(error)) return false;
    if (!check(error)) return false;
    if (int code = writer_.commit()) return write_failed(error, path_, code);
    return true;
  }
  std::uint64_t count() const { return writer_.count(); }
  std::uint64_t settlements() const { return writer_.settlements(); }
  bool set_symbol(const InstrumentDefinition& d) { return !writer_.set_instrument(d); }

 private:
  bool settle(CaptureError* error) {
    due_ = false;
    settled_ = true;
    settled_time_ = due_time_;
    if (!rated_) return true;  // a time named without a rate settles nothing known
    if (!mark_) {
      error->kind = NoMarkToSettle{due_time_, rate_};
      return false;
    }
    if (writer_.add_settlement(PricedRate{due_time_, rate_, *mark_})) {
      panic("capture settlements are in increasing time");
    }
    return true;
  }
  bool check(CaptureError* error) {
    if (int code = writer_.failed()) return write_failed(error, path_, code);
    return true;
  }

  MarkWriter writer_;
  std::string path_;
  std::optional<std::int64_t> mark_;
  std::optional<MarkRecord> written_;
  Nanos last_time_ = 0;
  bool due_ = false;
  Nanos due_time_ = 0;
  bool rated_ = false;
  std::int64_t rate_ = 0;
  bool settled_ = false;
  Nanos settled_time_ = 0;
};

bool same_symbol(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

}  // namespace

CaptureConversion convert_capture(const Input& input, const CaptureOptions& options,
                                  const Progress& progress) {
  const auto fail = [](Place where, auto kind) { return CaptureError{std::move(where), kind}; };
  std::optional<Step> tick = parse_step(options.tick_size);
  if (!tick) return fail(Place{}, BadStep{"tick_size", options.tick_size});
  std::optional<Step> lot = parse_step(options.lot_size);
  if (!lot) return fail(Place{}, BadStep{"lot_size", options.lot_size});
  for (const std::string* path : {&options.ticks_path, &options.depth_path, &options.marks_path}) {
    if (path->empty()) continue;
    if (int code = unrewindable(*path)) return fail(Place{}, WriteFailed{*path, code});
  }

  // The files asked for, begun before anything is read: a target that
  // cannot be written fails at once.
  std::optional<TickOut> ticks;
  std::optional<DepthOut> depth;
  std::optional<MarkOut> marks;
  if (!options.ticks_path.empty()) {
    WriterBegun begun = TickWriter::begin(options.ticks_path, options.instrument);
    if (auto* e = std::get_if<WriteFailed>(&begun)) return fail(Place{}, std::move(*e));
    ticks.emplace(std::move(std::get<TickWriter>(begun)), *lot, options.allow_gaps);
  }
  if (!options.depth_path.empty()) {
    DepthBegun begun = DepthWriter::begin(options.depth_path, options.instrument);
    if (const int* code = std::get_if<int>(&begun)) {
      return fail(Place{}, WriteFailed{options.depth_path, *code});
    }
    depth.emplace(std::move(std::get<DepthWriter>(begun)), options.depth_path, options.allow_gaps);
  }
  if (!options.marks_path.empty()) {
    MarkBegun begun = MarkWriter::begin(options.marks_path, options.instrument, MarkKind::Price);
    if (const int* code = std::get_if<int>(&begun)) {
      return fail(Place{}, WriteFailed{options.marks_path, *code});
    }
    marks.emplace(std::move(std::get<MarkWriter>(begun)), options.marks_path);
  }

  Meter meter{progress};
  meter.next_report = progress.every_bytes;
  LineReader reader(input, &meter);
  MessageReader messages(CaptureScaling{*tick, *lot, options.round, options.unit});
  Window window(options.max_delay);
  CaptureConverted done;
  CaptureError error;
  std::vector<std::string> files;
  std::string symbol = options.symbol;
  Place symbol_at;
  bool plain_seen = false, agg_seen = false;

  // Hands the messages whose turn has come to their files.
  const auto drain = [&](bool all) {
    while (Held* h = window.ready(all)) {
      CaptureMessage& m = h->message;
      bool ok = true;
      switch (m.kind) {
        case MessageKind::Trade:
        case MessageKind::Quote:
          ok = ticks->take(m, &done, &error);
          break;
        case MessageKind::DepthSnapshot:
        case MessageKind::DepthUpdate:
          ok = depth->take(m, &done, &error);
          break;
        case MessageKind::Mark:
          ok = marks->take(m, &error);
          break;
        case MessageKind::Other:
          break;
      }
      window.release();
      if (!ok) {
        if (error.where.file.empty() && !std::holds_alternative<WriteFailed>(error.kind)) {
          error.where = Place{files[h->file], h->line};
        }
        return false;
      }
    }
    return true;
  };

  std::string name;
  while (reader.next_file(&name)) {
    files.push_back(name);
    const auto file = static_cast<std::uint32_t>(files.size() - 1);
    std::string_view line;
    for (;;) {
      const LineReader::Got got = reader.next_line(&line);
      if (got == LineReader::Got::End) break;
      const Place here{name, reader.line_number()};
      switch (got) {
        case LineReader::Got::TooLong:
          return fail(here, LineTooLong{});
        case LineReader::Got::ReadFailed:
          return fail(here, ReadFailed{});
        case LineReader::Got::Stopped:
          return fail(Place{}, Stopped{});
        default:
          break;
      }
      if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
      ++done.messages;
      ++meter.rows;
      Held& slot = window.next_slot();
      CaptureMessage& m = slot.message;
      if (!messages.read(line, &m, &error)) {
        error.where = here;
        return error;
      }
      const bool trade_or_quote = m.kind == MessageKind::Trade || m.kind == MessageKind::Quote;
      const bool wanted =
          (trade_or_quote && ticks) ||
          ((m.kind == MessageKind::DepthSnapshot || m.kind == MessageKind::DepthUpdate) && depth) ||
          (m.kind == MessageKind::Mark && marks);
      if (!wanted) {
        ++done.skipped;
        continue;
      }
      if (!m.symbol.empty()) {
        if (symbol.empty()) {
          symbol = std::string(m.symbol);
          symbol_at = here;
        } else if (!same_symbol(symbol, m.symbol)) {
          if (!options.symbol.empty()) {
            ++done.other_symbols;
            continue;
          }
          return fail(here, SymbolsMixed{symbol, symbol_at, std::string(m.symbol)});
        }
      }
      if (m.kind == MessageKind::Trade) {
        using Trades = CaptureOptions::Trades;
        if ((options.trades == Trades::Plain && m.aggregated) ||
            (options.trades == Trades::Aggregated && !m.aggregated)) {
          ++done.skipped;
          continue;
        }
        (m.aggregated ? agg_seen : plain_seen) = true;
        if (plain_seen && agg_seen) return fail(here, TradesTwice{symbol});
      }
      slot.file = file;
      slot.line = here.line;
      if (!window.keep(&error)) {
        error.where = here;
        return error;
      }
      if (!drain(false)) return error;
    }
  }
  if (!drain(true)) return error;

  const std::string named = symbol.empty() ? std::string("the symbol asked for") : symbol;
  if (ticks && done.trades == 0 && done.repeated_trades == 0) {
    return fail(Place{}, NothingFor{NothingFor::What::Ticks, named});
  }
  if (depth && done.snapshots + done.updates == 0) {
    return fail(Place{}, NothingFor{NothingFor::What::Depth, named});
  }
  if (depth && done.snapshots == 0) {
    return fail(Place{}, NothingFor{NothingFor::What::DepthSnapshot, named});
  }
  if (marks && marks->count() == 0) {
    return fail(Place{}, NothingFor{NothingFor::What::Marks, named});
  }

  // Each file keeps what its counts are counts of, with the symbol read.
  const InstrumentDefinition definition =
      options.contract.define(options.instrument, symbol, *tick, *lot);
  if ((ticks && !ticks->set_symbol(definition)) || (depth && !depth->set_symbol(definition)) ||
      (marks && !marks->set_symbol(definition))) {
    // Only a symbol read from the capture can be one a file cannot hold
    // (bytes that are not UTF-8); one given was checked before.
    return fail(symbol_at, WrongField{"s", symbol, FieldShape::Text});
  }
  done.symbol = symbol;
  done.bytes = meter.bytes;
  if (ticks) done.ticks = ticks->count();
  if (marks) done.marks = marks->count();
  if ((ticks && !ticks->finish(&error)) || (depth && !depth->finish(&error)) ||
      (marks && !marks->finish(&error))) {
    return error;
  }
  if (marks) done.settlements = marks->settlements();
  if (progress.report != nullptr) (void)progress.report(progress.context, meter.bytes, meter.rows);
  return done;
}

}  // namespace halvorn::data
