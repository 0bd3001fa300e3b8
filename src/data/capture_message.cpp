#include "data/capture_message.hpp"

#include "data/csv_fields.hpp"
#include "data/depth_file.hpp"

namespace halvorn::data {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// `n` digits at `p` as a number, or -1.
int digits(std::string_view t, std::size_t at, std::size_t n) {
  if (at + n > t.size()) return -1;
  int v = 0;
  for (std::size_t k = at; k < at + n; ++k) {
    if (t[k] < '0' || t[k] > '9') return -1;
    v = v * 10 + (t[k] - '0');
  }
  return v;
}

// A UTC time written 2024-01-02T03:04:05[.fraction]Z, in nanoseconds.
std::optional<Nanos> iso_time(std::string_view t) {
  const int year = digits(t, 0, 4), month = digits(t, 5, 2), day = digits(t, 8, 2);
  const int hour = digits(t, 11, 2), minute = digits(t, 14, 2), second = digits(t, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60 || t[4] != '-' || t[7] != '-' ||
      t[10] != 'T' || t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  static constexpr int MONTH_DAYS[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > MONTH_DAYS[month - 1] || (month == 2 && day == 29 && !leap)) return std::nullopt;
  std::size_t k = 19;
  std::int64_t fraction = 0;
  if (k < t.size() && t[k] == '.') {
    std::size_t n = 0;
    for (++k; k < t.size() && t[k] >= '0' && t[k] <= '9'; ++k, ++n) {
      if (n == 9) return std::nullopt;
      fraction = fraction * 10 + (t[k] - '0');
    }
    if (n == 0) return std::nullopt;
    for (; n < 9; ++n) fraction *= 10;
  }
  if (k + 1 != t.size() || t[k] != 'Z') return std::nullopt;
  const std::int64_t seconds =
      days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86'400 +
      hour * 3'600 + minute * 60 + second;
  Nanos out = 0;
  if (__builtin_mul_overflow(seconds, std::int64_t{1'000'000'000}, &out) ||
      __builtin_add_overflow(out, fraction, &out)) {
    return std::nullopt;
  }
  return out;
}

// Nanoseconds of an integer time, its unit told by its size unless given.
// Fails with the limit or the fault to report.
enum class TimeFault : std::uint8_t { None, Unknown, Beyond };
TimeFault nanos_of(std::int64_t raw, TimeUnit unit, Nanos* out, TimeUnit* used) {
  if (unit == TimeUnit::Detect) {
    unit = detect_unit(raw);
    if (unit == TimeUnit::Detect) return TimeFault::Unknown;
  }
  *used = unit;
  return __builtin_mul_overflow(raw, unit_nanos(unit), out) ? TimeFault::Beyond : TimeFault::None;
}

bool starts_with(std::string_view t, std::string_view prefix) {
  return t.substr(0, prefix.size()) == prefix;
}

}  // namespace

MessageReader::MessageReader(CaptureScaling scaling)
    : scaling_(std::move(scaling)), billionth_(*parse_step("0.000000001")) {}

std::optional<MessageReader::Key> MessageReader::key_of(std::string_view n) {
  switch (n.size()) {
    case 1:
      switch (n[0]) {
        case 'e':
          return Key::LowerE;
        case 'E':
          return Key::UpperE;
        case 'T':
          return Key::UpperT;
        case 's':
          return Key::LowerS;
        case 't':
          return Key::LowerT;
        case 'a':
          return Key::LowerA;
        case 'p':
          return Key::LowerP;
        case 'q':
          return Key::LowerQ;
        case 'm':
          return Key::LowerM;
        case 'u':
          return Key::LowerU;
        case 'U':
          return Key::UpperU;
        case 'b':
          return Key::LowerB;
        case 'B':
          return Key::UpperB;
        case 'A':
          return Key::UpperA;
        case 'i':
          return Key::LowerI;
        case 'r':
          return Key::LowerR;
        default:
          return std::nullopt;
      }
    case 2:
      if (n == "pu") return Key::Pu;
      if (n == "ts") return Key::Ts;
      return std::nullopt;
    case 4:
      if (n == "bids") return Key::Bids;
      if (n == "asks") return Key::Asks;
      if (n == "data") return Key::Data;
      if (n == "type") return Key::Type;
      return std::nullopt;
    case 5:
      return n == "topic" ? std::optional(Key::Topic) : std::nullopt;
    case 6:
      return n == "stream" ? std::optional(Key::Stream) : std::nullopt;
    case 12:
      return n == "lastUpdateId" ? std::optional(Key::LastUpdateId) : std::nullopt;
    default:
      return std::nullopt;
  }
}

const char* MessageReader::name_of(Key k) {
  static constexpr const char* NAMES[] = {
      "e",    "E",    "T",    "s",      "t",     "a",    "p", "q", "m",
      "u",    "U",    "pu",   "b",      "B",     "A",    "i", "r", "lastUpdateId",
      "bids", "asks", "data", "stream", "topic", "type", "ts"};
  return NAMES[static_cast<std::size_t>(k)];
}

bool MessageReader::set(decltype(CaptureError::kind) kind) {
  error_->where = Place{};
  error_->kind = std::move(kind);
  return false;
}

bool MessageReader::json_fault(const JsonScan& scan, const char* base) {
  return set(BadJson{scan.fault(), std::string(scan.expected()),
                     static_cast<std::size_t>(base - line_) + scan.offset() + 1});
}

bool MessageReader::read(std::string_view line, CaptureMessage* out, CaptureError* error) {
  error_ = error;
  line_ = line.data();
  has_local_ = false;
  if (!local_time(&line, out, &has_local_)) return false;
  outer_.fill(Span{});
  if (!collect(line.data(), line.data() + line.size(), &outer_)) return false;
  const Fields* payload = &outer_;
  const Span& data = at(outer_, Key::Data);
  wrapped_ = data.begin != nullptr && *data.begin == '{';
  if (wrapped_) {
    payload_.fill(Span{});
    if (!collect(data.begin, data.end, &payload_)) return false;
    payload = &payload_;
  }
  out->kind = MessageKind::Other;
  out->symbol = {};
  if (!classify(outer_, *payload, out)) return false;
  if (out->kind == MessageKind::Other) return true;
  if (!has_local_) out->local = out->exch;
  return true;
}

bool MessageReader::local_time(std::string_view* line, CaptureMessage* out, bool* has_local) {
  std::size_t k = 0;
  while (k < line->size() && is_blank((*line)[k])) ++k;
  if (k < line->size() && (*line)[k] == '{') {
    line->remove_prefix(k);
    return true;
  }
  std::size_t end = k;
  while (end < line->size() && !is_blank((*line)[end])) ++end;
  const std::string_view token = line->substr(k, end - k);
  std::size_t next = end;
  while (next < line->size() && is_blank((*line)[next])) ++next;
  const bool then_message = next > end && next < line->size() && (*line)[next] == '{';
  std::int64_t raw = 0;
  TimeUnit used = TimeUnit::Detect;
  bool ok = false;
  if (then_message) {
    if (parse_int(token, &raw) == IntFault::None) {
      ok = nanos_of(raw, TimeUnit::Detect, &out->local, &used) == TimeFault::None;
    } else if (std::optional<Nanos> t = iso_time(token)) {
      out->local = *t;
      ok = true;
    }
  }
  if (!ok) {
    return set(BadLocalTime{std::string(line->substr(k, 40))});
  }
  *has_local = true;
  line->remove_prefix(next);
  return true;
}

bool MessageReader::collect(const char* begin, const char* end, Fields* fields) {
  JsonScan scan(begin, end);
  std::string_view key;
  if (!scan.enter_object()) return json_fault(scan, begin);
  while (scan.member(&key, &key_scratch_)) {
    const std::optional<Key> k = key_of(key);
    if (!k) {
      if (!scan.skip()) break;
      continue;
    }
    scan.peek();
    Span& span = (*fields)[static_cast<std::size_t>(*k)];
    span.begin = scan.at();
    if (!scan.skip()) break;
    span.end = scan.at();
  }
  if (scan.fault() != JsonFault::None || !scan.finish()) return json_fault(scan, begin);
  return true;
}

bool MessageReader::text(const Fields& f, Key k, std::string_view* out) {
  const Span& span = at(f, k);
  JsonScan scan(span.begin, span.end);
  if (scan.scalar_text(out, &value_scratch_)) return true;
  return set(WrongField{name_of(k), std::string(span.begin, span.end), FieldShape::Decimal});
}

bool MessageReader::need(const Fields& f, Key k, const char* message) {
  if (at(f, k).begin != nullptr) return true;
  return set(MissingField{message, name_of(k)});
}

bool MessageReader::integer(const Fields& f, Key k, std::int64_t* out) {
  std::string_view t;
  if (!text(f, k, &t)) return false;
  switch (parse_int(t, out)) {
    case IntFault::None:
      return true;
    case IntFault::OutOfRange:
      return set(FieldRange{name_of(k), std::string(t), Limit::Integer, ""});
    case IntFault::NotAnInteger:
      break;
  }
  return set(WrongField{name_of(k), std::string(t), FieldShape::Integer});
}

bool MessageReader::id_of(const Fields& f, Key k, std::uint64_t* out) {
  std::int64_t v = 0;
  if (!integer(f, k, &v)) return false;
  if (v < 0) return set(NegativeField{name_of(k), std::to_string(v)});
  *out = static_cast<std::uint64_t>(v);
  return true;
}

bool MessageReader::time_of(const Fields& f, Key k, Nanos* out) {
  std::int64_t raw = 0;
  if (!integer(f, k, &raw)) return false;
  TimeUnit used = scaling_.unit;
  switch (nanos_of(raw, scaling_.unit, out, &used)) {
    case TimeFault::None:
      return true;
    case TimeFault::Unknown:
      return set(UnknownUnit{name_of(k), std::to_string(raw)});
    case TimeFault::Beyond:
      break;
  }
  return set(FieldRange{name_of(k), std::to_string(raw), Limit::Time, unit_name(used)});
}

bool MessageReader::boolean(const Fields& f, Key k, bool* out) {
  const Span& span = at(f, k);
  JsonScan scan(span.begin, span.end);
  std::string_view word;
  if (scan.peek() == JsonKind::Literal && scan.literal(&word) && word != "null") {
    *out = word == "true";
    return true;
  }
  return set(WrongField{name_of(k), std::string(span.begin, span.end), FieldShape::Boolean});
}

bool MessageReader::decimal(const Fields& f, Key k, Decimal* d, std::string_view* t) {
  if (!text(f, k, t)) return false;
  switch (parse_decimal(*t, d)) {
    case DecimalFault::None:
      return true;
    case DecimalFault::TooManyDigits:
      return set(FieldRange{name_of(k), std::string(*t), Limit::Digits, ""});
    case DecimalFault::OutOfRange:
      return set(FieldRange{name_of(k), std::string(*t), Limit::Exponent, ""});
    case DecimalFault::NotANumber:
      break;
  }
  return set(WrongField{name_of(k), std::string(*t), FieldShape::Decimal});
}

bool MessageReader::steps_of(const Fields& f, Key k, const Step& step, Rounding r, const char* unit,
                             Steps kind, std::int64_t* out) {
  Decimal d;
  std::string_view t;
  if (!decimal(f, k, &d, &t)) return false;
  if (kind == Steps::Quantity && d.negative && d.digits != 0) {
    return set(NegativeField{name_of(k), std::string(t)});
  }
  const Scaled s = scale(d, step, r);
  if (s.fault == ScaleFault::None) {
    *out = s.count;
    return true;
  }
  std::string steps = unit;
  if (&step != &billionth_) steps += " of " + step.text;
  if (s.fault == ScaleFault::OutOfRange) {
    return set(FieldRange{name_of(k), std::string(t), Limit::Steps, std::move(steps)});
  }
  // A price refused for want of rounding says which tick size would take it.
  return set(NotWhole{name_of(k), std::string(t), std::move(steps),
                      kind == Steps::Price ? decimal_text(common_step(step.value, d)) : "",
                      kind == Steps::Mark});
}

bool MessageReader::price_of(const Fields& f, Key k, Rounding r, std::int64_t* out) {
  return steps_of(f, k, scaling_.tick, scaling_.round ? r : Rounding::Exact, "ticks", Steps::Price,
                  out);
}

bool MessageReader::qty_of(const Fields& f, Key k, std::int64_t* out) {
  return steps_of(f, k, scaling_.lot, scaling_.round ? Rounding::Down : Rounding::Exact, "lots",
                  Steps::Quantity, out);
}

bool MessageReader::mark_of(const Fields& f, Key k, std::int64_t* out) {
  return steps_of(f, k, scaling_.tick, scaling_.round ? Rounding::Nearest : Rounding::Exact,
                  "ticks", Steps::Mark, out);
}

bool MessageReader::rate_of(const Fields& f, Key k, std::int64_t* out) {
  return steps_of(f, k, billionth_, Rounding::Exact, "billionths", Steps::Rate, out);
}

bool MessageReader::present(const Fields& f, Key k) {
  const Span& span = at(f, k);
  if (span.begin == nullptr) return false;
  const std::string_view v(span.begin, static_cast<std::size_t>(span.end - span.begin));
  return v != "null" && v != "\"\"";
}

bool MessageReader::quote(const Fields& f, CaptureMessage* out) {
  const char* name = "a book ticker (bookTicker)";
  message_name_ = name;
  if (!need(f, Key::LowerB, name) || !need(f, Key::LowerA, name) || !need(f, Key::LowerS, name) ||
      !text(f, Key::LowerS, &out->symbol) || !exchange_time(f, *out, &out->exch) ||
      !price_of(f, Key::LowerB, Rounding::Down, &out->bid) ||
      !price_of(f, Key::LowerA, Rounding::Up, &out->ask)) {
    return false;
  }
  out->kind = MessageKind::Quote;
  return true;
}

bool MessageReader::levels(const Fields& f, Key k, bool bid, std::vector<book::Level>* out) {
  out->clear();
  const Span& span = at(f, k);
  JsonScan scan(span.begin, span.end);
  const auto wrong = [&] {
    const auto n = static_cast<std::size_t>(span.end - span.begin);
    return set(WrongField{name_of(k), std::string(span.begin, std::min<std::size_t>(n, 80)),
                          FieldShape::Levels});
  };
  if (!scan.enter_array()) return wrong();
  const Rounding price_rounding = bid ? Rounding::Down : Rounding::Up;
  Fields one{};  // a level's two values, each read as the field they are in
  while (scan.element()) {
    if (out->size() == MAX_RECORD_LEVELS) return set(TooManyLevels{});
    if (!scan.enter_array() || !scan.element()) return wrong();
    scan.peek();
    Span& price = one[static_cast<std::size_t>(k)];
    price.begin = scan.at();
    if (!scan.skip() || !scan.element()) return wrong();
    price.end = scan.at();
    book::Level level;
    if (!price_of(one, k, price_rounding, &level.price)) return false;
    scan.peek();
    price.begin = scan.at();
    if (!scan.skip()) return wrong();
    price.end = scan.at();
    if (!qty_of(one, k, &level.qty)) return false;
    // Venues that add an order count after the quantity are read all the
    // same; only the first two values are a level.
    while (scan.element()) {
      if (!scan.skip()) return wrong();
    }
    if (scan.fault() != JsonFault::None) return wrong();
    out->push_back(level);
  }
  if (scan.fault() != JsonFault::None) return wrong();
  return true;
}

bool MessageReader::exchange_time(const Fields& f, const CaptureMessage& m, Nanos* out) {
  if (at(f, Key::UpperT).begin != nullptr) return time_of(f, Key::UpperT, out);
  if (at(f, Key::UpperE).begin != nullptr) return time_of(f, Key::UpperE, out);
  // A message that carries no time of its own happened when it was received.
  if (!has_local_) return set(MissingField{std::string(message_name_), "T"});
  *out = m.local;
  return true;
}

bool MessageReader::classify(const Fields& outer, const Fields& f, CaptureMessage* out) {
  std::string_view t;
  // An order-book archive: a topic naming the book, and the book in "data".
  if (at(outer, Key::Topic).begin != nullptr) {
    if (!text(outer, Key::Topic, &t)) return false;
    if (!starts_with(t, "orderbook.")) return true;
    const char* name = "an order-book archive message";
    message_name_ = name;
    if (!need(outer, Key::Type, name) || !need(outer, Key::Ts, name)) return false;
    if (!wrapped_) return set(MissingField{name, "data"});
    std::string_view type;
    if (!text(outer, Key::Type, &type)) return false;
    const bool snapshot = type == "snapshot";
    if (!snapshot && type != "delta") {
      return set(WrongField{"type", std::string(type), FieldShape::Text});
    }
    std::uint64_t u = 0;
    if (!need(f, Key::LowerU, name) || !need(f, Key::LowerB, name) || !need(f, Key::LowerA, name) ||
        !time_of(outer, Key::Ts, &out->exch) || !id_of(f, Key::LowerU, &u) ||
        !levels(f, Key::LowerB, true, &out->bids) || !levels(f, Key::LowerA, false, &out->asks)) {
      return false;
    }
    if (at(f, Key::LowerS).begin != nullptr && !text(f, Key::LowerS, &out->symbol)) return false;
    out->kind = snapshot ? MessageKind::DepthSnapshot : MessageKind::DepthUpdate;
    out->fetched = false;
    out->first_id = out->final_id = u;
    out->prev_id.reset();
    return true;
  }
  if (at(f, Key::LowerE).begin != nullptr) {
    if (!text(f, Key::LowerE, &t)) return false;
    if (t == "trade" || t == "aggTrade") {
      const bool agg = t == "aggTrade";
      const char* name = agg ? "an aggregated trade (aggTrade)" : "a trade (trade)";
      message_name_ = name;
      const Key id = agg ? Key::LowerA : Key::LowerT;
      if (!need(f, Key::LowerP, name) || !need(f, Key::LowerQ, name) || !need(f, id, name) ||
          !need(f, Key::LowerS, name) || !text(f, Key::LowerS, &out->symbol) ||
          !exchange_time(f, *out, &out->exch) || !integer(f, id, &out->id)) {
        return false;
      }
      // "m": the buyer made the market, so the seller took it.  Without it
      // the trade has no side, and a price off the grid is not rounded.
      bool seller = false;
      const bool sided = at(f, Key::LowerM).begin != nullptr;
      if (sided && !boolean(f, Key::LowerM, &seller)) return false;
      const Rounding r = !sided ? Rounding::Exact : seller ? Rounding::Down : Rounding::Up;
      if (!price_of(f, Key::LowerP, r, &out->price) || !qty_of(f, Key::LowerQ, &out->qty)) {
        return false;
      }
      out->kind = MessageKind::Trade;
      out->aggregated = agg;
      out->seller_took = seller;
      return true;
    }
    if (t == "bookTicker") return quote(f, out);
    if (t == "depthUpdate") {
      const char* name = "a depth update (depthUpdate)";
      message_name_ = name;
      if (!need(f, Key::UpperU, name) || !need(f, Key::LowerU, name) ||
          !need(f, Key::LowerB, name) || !need(f, Key::LowerA, name) ||
          !need(f, Key::LowerS, name) || !text(f, Key::LowerS, &out->symbol) ||
          !exchange_time(f, *out, &out->exch) || !id_of(f, Key::UpperU, &out->first_id) ||
          !id_of(f, Key::LowerU, &out->final_id)) {
        return false;
      }
      out->prev_id.reset();
      if (at(f, Key::Pu).begin != nullptr) {
        std::uint64_t pu = 0;
        if (!id_of(f, Key::Pu, &pu)) return false;
        out->prev_id = pu;
      }
      if (!levels(f, Key::LowerB, true, &out->bids) || !levels(f, Key::LowerA, false, &out->asks)) {
        return false;
      }
      out->kind = MessageKind::DepthUpdate;
      return true;
    }
    if (t == "markPriceUpdate") {
      const char* name = "a mark price update (markPriceUpdate)";
      if (!need(f, Key::LowerP, name) || !need(f, Key::UpperE, name) ||
          !need(f, Key::LowerS, name) || !text(f, Key::LowerS, &out->symbol) ||
          !time_of(f, Key::UpperE, &out->exch) || !mark_of(f, Key::LowerP, &out->mark)) {
        return false;
      }
      out->index = 0;
      if (present(f, Key::LowerI) && !mark_of(f, Key::LowerI, &out->index)) return false;
      out->funding_rate.reset();
      out->funding_time.reset();
      std::int64_t rate = 0;
      Nanos next = 0;
      if (present(f, Key::LowerR)) {
        if (!rate_of(f, Key::LowerR, &rate)) return false;
        out->funding_rate = rate;
      }
      if (present(f, Key::UpperT)) {
        if (!time_of(f, Key::UpperT, &next)) return false;
        // A time of 0 is how a contract without funding says it has none.
        if (next != 0) out->funding_time = next;
      }
      out->kind = MessageKind::Mark;
      return true;
    }
    return true;  // an event of another kind
  }
  if (at(f, Key::LastUpdateId).begin != nullptr) {
    const char* name = "a depth snapshot (lastUpdateId)";
    message_name_ = name;
    if (!need(f, Key::Bids, name) || !need(f, Key::Asks, name) ||
        !id_of(f, Key::LastUpdateId, &out->final_id) || !exchange_time(f, *out, &out->exch) ||
        !levels(f, Key::Bids, true, &out->bids) || !levels(f, Key::Asks, false, &out->asks)) {
      return false;
    }
    if (at(f, Key::LowerS).begin != nullptr && !text(f, Key::LowerS, &out->symbol)) return false;
    out->kind = MessageKind::DepthSnapshot;
    out->fetched = true;
    return true;
  }
  // A book ticker of a stream that names no event.
  for (Key k : {Key::LowerU, Key::LowerB, Key::UpperB, Key::LowerA, Key::UpperA, Key::LowerS}) {
    if (at(f, k).begin == nullptr) return true;
  }
  return quote(f, out);
}

}  // namespace halvorn::data
