// Reading one row of a CSV stream into the engine's units: the fast pass
// over a line's bytes for each kind of stream (trades and quotes, depth
// updates, book snapshots, marks), and the conversions of its times and
// rates.  A row this pass refuses is read again by RowStream::diagnose
// (csv_stream.cpp), field by field, to say what is wrong with it.

#include <algorithm>

#include "data/csv_stream.hpp"

namespace halvorn::data {

namespace {

// A slot per column of the widest layout read column by column (book
// snapshots are read level by level), which a row's reading fills as it
// goes, left uninitialised: zeroing them for every row would cost more than
// reading the row.
inline constexpr std::size_t SLOTS = 12;
template <class T>
struct Slots {
  Slots() {}
  T& operator[](std::size_t i) { return v[i]; }
  union {
    T v[SLOTS];
  };
};

// The values of one row as read, by column.
struct Parsed {
  Slots<std::int64_t> ints;
  Slots<Decimal> decs;
  std::uint32_t empty = 0;  // bit i: optional column i was left empty
  bool flag = false;
  Aggressor side = Aggressor::Unknown;
  BookSide book = BookSide::Bid;
  UpdateType type = UpdateType::Set;
  bool has(std::size_t i) const { return (empty >> i & 1) == 0; }
};

// A text trade id as a number to compare: two different ids at one time
// colliding in 64 bits is far less likely than the data being damaged.
std::int64_t id_hash(std::string_view text) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  return static_cast<std::int64_t>(h);
}

// Reads the fields of a line in one pass, each followed by its ',' (or by
// the end of the line for the last), keeping where each field lies.  Any
// surprise makes a step return false, and the row is read again slowly.
struct Cursor {
  const char* p;
  const char* end;
  std::string_view* fields;
  std::size_t n = 0;

  bool close(const char* start, const char* q, bool last) {
    fields[n++] = std::string_view(start, static_cast<std::size_t>(q - start));
    if (last) return q == end;
    if (q == end || *q != ',') return false;
    p = q + 1;
    return true;
  }
  bool integer(std::int64_t* v, bool last = false) {
    IntFault f;
    const char* s = p;
    const char* q = scan_int(p, end, v, &f);
    return f == IntFault::None && close(s, q, last);
  }
  bool decimal(Decimal* v, bool last = false) {
    DecimalFault f;
    const char* s = p;
    const char* q = scan_decimal(p, end, v, &f);
    return f == DecimalFault::None && close(s, q, last);
  }
  bool boolean(bool* v, bool last = false) {
    const char* s = p;
    const char* q = last ? end : field_end(p, end);
    std::optional<bool> b = parse_bool(std::string_view(s, static_cast<std::size_t>(q - s)));
    if (!b) return false;
    *v = *b;
    return close(s, q, last);
  }
  // A field of one of a few words: parse(text) gives the value or nothing.
  template <class T, class Parse>
  bool word(T* v, bool last, Parse parse) {
    const char* s = p;
    const char* q = last ? end : field_end(p, end);
    std::optional<T> g = parse(std::string_view(s, static_cast<std::size_t>(q - s)));
    if (!g) return false;
    *v = *g;
    return close(s, q, last);
  }
  bool side(Aggressor* a, bool last = false) { return word(a, last, parse_side); }
  bool book_side(BookSide* b, bool last = false) { return word(b, last, parse_book_side); }
  bool update_type(UpdateType* t, bool last = false) { return word(t, last, parse_update_type); }
  bool chained_type(UpdateType* t, bool last = false) {
    return word(t, last, parse_chained_update_type);
  }
  bool text(bool last = false) { return close(p, last ? end : field_end(p, end), last); }
  // An empty field: taken, with `*empty` set, where an optional one may be.
  bool skip_empty(bool last, bool* empty) {
    *empty = p == end || *p == ',';
    return !*empty || close(p, p, last);
  }
  bool opt_integer(std::int64_t* v, bool last, bool* empty) {
    if (!skip_empty(last, empty)) return false;
    return *empty || integer(v, last);
  }
  bool opt_decimal(Decimal* v, bool last, bool* empty) {
    if (!skip_empty(last, empty)) return false;
    return *empty || decimal(v, last);
  }
};

// The columns only the chained depth diffs and the derivative ticker have:
// kept out of the loop below, which the compiler would otherwise no longer
// fit the reading of numbers into, and every layout would pay for it.
// It takes the place to read from by value and gives back where it stopped
// (null when the field is not what the column holds), so that the loop's
// cursor stays in registers.
[[gnu::noinline]] const char* rare_field(const char* p, const char* end, std::string_view* field,
                                         Col type, std::size_t i, bool last, Parsed* v) {
  Cursor c{p, end, field};
  bool ok = false;
  if (type == Col::Chain) {
    ok = c.chained_type(&v->type, last);
  } else {
    bool empty = false;
    ok = type == Col::OptInt ? c.opt_integer(&v->ints[i], last, &empty)
                             : c.opt_decimal(&v->decs[i], last, &empty);
    v->empty |= static_cast<std::uint32_t>(empty) << i;
  }
  return ok ? c.p : nullptr;
}

// Reads a row by its layout's columns: column i's value lands in slot i of
// its kind (a boolean, a side, a book side and an update type have one slot
// each, which a layout uses at most once).
bool read_fields(const LayoutEntry& entry, std::string_view line, Parsed* v,
                 Slots<std::string_view>& fields) {
  Cursor c{line.data(), line.data() + line.size(), fields.v};
  const std::size_t n = entry.columns.size();
  for (std::size_t i = 0; i < n; ++i) {
    const bool last = i + 1 == n;
    bool ok = false;
    switch (entry.columns[i].type) {
      case Col::Int:
        ok = c.integer(&v->ints[i], last);
        break;
      case Col::Dec:
        ok = c.decimal(&v->decs[i], last);
        break;
      case Col::Bool:
        ok = c.boolean(&v->flag, last);
        break;
      case Col::Side:
        ok = c.side(&v->side, last);
        break;
      case Col::Book:
        ok = c.book_side(&v->book, last);
        break;
      case Col::Type:
        ok = c.update_type(&v->type, last);
        break;
      case Col::Text:
        ok = c.text(last);
        break;
      default: {
        const char* q = rare_field(c.p, c.end, c.fields + c.n, entry.columns[i].type, i, last, v);
        ok = q != nullptr;
        c.p = q;
        ++c.n;
        break;
      }
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool RowStream::time(std::int64_t raw, std::size_t col, std::string_view text, Nanos* out) {
  if (unit_ == TimeUnit::Detect) {
    unit_ = detect_unit(raw);
    if (unit_ == TimeUnit::Detect) return fail_here(AmbiguousTime{column(col), std::string(text)});
    nanos_ = unit_nanos(unit_);
    detected_ = true;
    unit_line_ = reader_.line_number();
  } else if (detected_) {
    if (!unit_range(unit_).contains(raw)) {
      return fail_here(UnitMismatch{column(col), std::string(text), unit_, unit_line_});
    }
  }
  if (__builtin_mul_overflow(raw, nanos_, out)) {
    return fail_here(OutOfRange{column(col), std::string(text), Limit::Time, unit_name(unit_)});
  }
  return true;
}

bool RowStream::price(const Decimal& d, Rounding r, bool unrounded, std::size_t col,
                      std::string_view text, std::int64_t* out) {
  const Scaled s = scale(d, scaling_.tick, r);
  if (s.fault == ScaleFault::None) {
    *out = s.count;
    return true;
  }
  std::string step = "ticks of " + scaling_.tick.text;
  if (s.fault == ScaleFault::NotMultiple) {
    // Refused for want of rounding, the price says which tick size it needs.
    std::string finer =
        r == Rounding::Exact && !unrounded ? decimal_text(common_step(scaling_.tick.value, d)) : "";
    return fail_here(NotMultiple{column(col), std::string(text), std::move(step), unrounded,
                                 std::move(finer), false});
  }
  return fail_here(OutOfRange{column(col), std::string(text), Limit::Steps, std::move(step)});
}

bool RowStream::mark(const Decimal& d, bool rate, std::size_t col, std::string_view text,
                     std::int64_t* out) {
  const Step& step = rate ? billionth_ : scaling_.tick;
  const Scaled s = scale(d, step, scaling_.round ? Rounding::Nearest : Rounding::Exact);
  if (s.fault == ScaleFault::None) {
    // A price of 0 or less is none: a file of marks stores none (a premium
    // index, a rate, may be anything).
    if (!rate && s.count <= 0) return fail_here(Negative{column(col), std::string(text), true});
    *out = s.count;
    return true;
  }
  std::string unit = rate ? std::string("billionths") : "ticks of " + step.text;
  if (s.fault == ScaleFault::NotMultiple) {
    return fail_here(
        NotMultiple{column(col), std::string(text), std::move(unit), false, "", !rate});
  }
  return fail_here(OutOfRange{column(col), std::string(text), Limit::Steps, std::move(unit)});
}

bool RowStream::rate(const Decimal& d, std::size_t col, std::string_view text, std::int64_t* out) {
  // Rates are exact or refused: a rate is money, and rounding it would
  // change every payment made at it.
  const Scaled s = scale(d, billionth_, Rounding::Exact);
  *out = s.count;
  if (s.fault == ScaleFault::NotMultiple) {
    return fail_here(NotMultiple{column(col), std::string(text), "billionths", false, "", false});
  }
  if (s.fault == ScaleFault::OutOfRange) {
    return fail_here(OutOfRange{column(col), std::string(text), Limit::Steps, "billionths"});
  }
  return true;
}

bool RowStream::update_ids(std::int64_t first, std::int64_t last, std::string_view first_text,
                           std::string_view last_text) {
  // Ids are unsigned to the depth book; a negative one is a damaged row, not
  // a very large id.
  if (first < 0) return fail_here(Negative{column(3), std::string(first_text)});
  if (last < 0) return fail_here(Negative{column(4), std::string(last_text)});
  if (first > last) return fail_here(IdRange{first, last});
  return true;
}

bool RowStream::quantity(const Decimal& d, std::size_t col, std::string_view text,
                         std::int64_t* out) {
  if (d.negative && d.digits != 0) return fail_here(Negative{column(col), std::string(text)});
  const Scaled s = scale(d, scaling_.lot, scaling_.round ? Rounding::Down : Rounding::Exact);
  if (s.fault == ScaleFault::None) {
    *out = s.count;
    return true;
  }
  std::string step = "lots of " + scaling_.lot.text;
  if (s.fault == ScaleFault::NotMultiple) {
    return fail_here(
        NotMultiple{column(col), std::string(text), std::move(step), false, "", false});
  }
  return fail_here(OutOfRange{column(col), std::string(text), Limit::Steps, std::move(step)});
}

RowStream::Read RowStream::parse(std::string_view line, Row* row) {
  if (kind_ == StreamKind::Depth) return parse_depth(line, row);
  if (kind_ == StreamKind::Marks) return parse_marks(line, row);
  Parsed v;
  Slots<std::string_view> f;
  if (!read_fields(layout_entry(layout_), line, &v, f)) {
    diagnose(line);
    return Read::Failed;
  }
  const bool round = scaling_.round;
  // Rounding goes against the strategy: what it could buy costs more, what
  // it could sell fetches less.  A buyer who took liquidity paid the ask
  // side, so that price rounds up; a seller's rounds down, as does a bid.
  const auto by_aggressor = [round](Aggressor a) {
    if (!round || a == Aggressor::Unknown) return Rounding::Exact;
    return a == Aggressor::Buyer ? Rounding::Up : Rounding::Down;
  };
  bool ok = false;
  switch (layout_) {
    case Layout::Trades:
    case Layout::AggTrades: {
      const std::size_t tc = layout_entry(layout_).time;
      // The buyer was the maker, so the seller took liquidity.
      const Aggressor a = v.flag ? Aggressor::Seller : Aggressor::Buyer;
      ok = time(v.ints[tc], tc, f[tc], &row->exch) &&
           price(v.decs[1], by_aggressor(a), false, 1, f[1], &row->a) &&
           quantity(v.decs[2], 2, f[2], &row->b);
      row->local = row->exch;
      row->raw_time = v.ints[tc];
      row->id = v.ints[0];
      break;
    }
    case Layout::BestQuotes:
      ok = time(v.ints[5], 5, f[5], &row->exch) &&
           price(v.decs[1], round ? Rounding::Down : Rounding::Exact, false, 1, f[1], &row->a) &&
           price(v.decs[3], round ? Rounding::Up : Rounding::Exact, false, 3, f[3], &row->b);
      row->local = row->exch;
      row->raw_time = v.ints[5];
      break;
    case Layout::ClockedTrades:
      ok = time(v.ints[2], 2, f[2], &row->exch) && time(v.ints[3], 3, f[3], &row->local) &&
           price(v.decs[6], by_aggressor(v.side), round && v.side == Aggressor::Unknown, 6, f[6],
                 &row->a) &&
           quantity(v.decs[7], 7, f[7], &row->b);
      row->raw_time = v.ints[2];
      row->id = id_hash(f[4]);
      break;
    case Layout::ClockedQuotes:
      ok = time(v.ints[2], 2, f[2], &row->exch) && time(v.ints[3], 3, f[3], &row->local) &&
           price(v.decs[6], round ? Rounding::Down : Rounding::Exact, false, 6, f[6], &row->a) &&
           price(v.decs[5], round ? Rounding::Up : Rounding::Exact, false, 5, f[5], &row->b);
      row->raw_time = v.ints[2];
      break;
    case Layout::Funding:
      ok = time(v.ints[0], 0, f[0], &row->exch) && rate(v.decs[2], 2, f[2], &row->a);
      row->local = row->exch;
      row->raw_time = v.ints[0];
      row->b = v.ints[1];
      break;
    default:
      panic("depth and mark rows are read by parse_depth and parse_marks");
  }
  return ok ? Read::Row : Read::Failed;
}

RowStream::Read RowStream::parse_depth(std::string_view line, Row* row) {
  if (layout_ == Layout::BookSnapshot5 || layout_ == Layout::BookSnapshot25) {
    return parse_book(line, row);
  }
  Parsed v;
  Slots<std::string_view> f;
  if (!read_fields(layout_entry(layout_), line, &v, f)) {
    diagnose(line);
    return Read::Failed;
  }
  // A bid level is what the strategy could sell into and rounds down; an
  // ask is what it could buy from and rounds up.
  const Rounding by_side = !scaling_.round           ? Rounding::Exact
                           : v.book == BookSide::Bid ? Rounding::Down
                                                     : Rounding::Up;
  bool ok = false;
  if (layout_ == Layout::DepthDiffs) {
    ok = time(v.ints[1], 1, f[1], &row->exch) && update_ids(v.ints[3], v.ints[4], f[3], f[4]) &&
         price(v.decs[7], by_side, false, 7, f[7], &row->a) &&
         quantity(v.decs[8], 8, f[8], &row->b);
    row->local = row->exch;
    row->raw_time = v.ints[1];
    row->id = v.ints[3];
    row->last_id = v.ints[4];
    row->snapshot = v.type == UpdateType::Snapshot;
  } else if (layout_ == Layout::ChainedDiffs) {
    ok = time(v.ints[1], 1, f[1], &row->exch) && update_ids(v.ints[2], v.ints[3], f[2], f[3]) &&
         price(v.decs[6], by_side, false, 6, f[6], &row->a) &&
         quantity(v.decs[7], 7, f[7], &row->b);
    row->local = row->exch;
    row->raw_time = v.ints[1];
    row->id = v.ints[2];
    row->last_id = v.ints[3];
    row->snapshot = v.type == UpdateType::Snapshot;
    // A delete row removes its level whatever quantity it states.
    if (v.type == UpdateType::Delete) row->b = 0;
    // pu names an update id, which is never negative; a snapshot's is not
    // used, and may be anything the recorder wrote.
    if (ok && !row->snapshot && v.ints[8] < 0)
      ok = fail_here(Negative{column(8), std::string(f[8])});
    row->prev_id = v.ints[8];
  } else {
    ok = time(v.ints[2], 2, f[2], &row->exch) && time(v.ints[3], 3, f[3], &row->local) &&
         price(v.decs[6], by_side, false, 6, f[6], &row->a) &&
         quantity(v.decs[7], 7, f[7], &row->b);
    row->raw_time = v.ints[2];
    row->snapshot = v.flag;
  }
  row->side = v.book;
  return ok ? Read::Row : Read::Failed;
}

RowStream::Read RowStream::parse_book(std::string_view line, Row* row) {
  const std::span<const LayoutColumn> columns = layout_entry(layout_).columns;
  fields_.resize(columns.size());
  Cursor c{line.data(), line.data() + line.size(), fields_.data()};
  std::int64_t exch = 0, local = 0;
  bool ok = c.text() && c.text() && c.integer(&exch) && c.integer(&local);
  bids_.clear();
  asks_.clear();
  // Levels are read into place as they come; a failure reads the row again
  // to say what is wrong with it.
  const std::size_t levels = (columns.size() - 4) / 4;
  Decimal price_d[2], amount_d[2];
  bool price_empty[2], amount_empty[2];
  for (std::size_t i = 0; ok && i < levels; ++i) {
    for (int side = 0; ok && side < 2; ++side) {
      const bool last = i + 1 == levels && side == 1;
      ok = c.opt_decimal(&price_d[side], false, &price_empty[side]) &&
           c.opt_decimal(&amount_d[side], last, &amount_empty[side]);
    }
    if (!ok) break;
    for (int side = 0; side < 2; ++side) {
      const std::size_t col = 4 + 4 * i + 2 * static_cast<std::size_t>(side);
      // A level the book did not have is two empty fields; one of the two
      // alone is a damaged row.
      if (price_empty[side] != amount_empty[side]) {
        const std::size_t empty = price_empty[side] ? col : col + 1;
        fail_here(BadField{column(empty), "", Expected::Decimal});
        return Read::Failed;
      }
      if (price_empty[side]) continue;
      const bool ask = side == 0;
      const Rounding r = !scaling_.round ? Rounding::Exact : ask ? Rounding::Up : Rounding::Down;
      book::Level level;
      if (!price(price_d[side], r, false, col, fields_[col], &level.price) ||
          !quantity(amount_d[side], col + 1, fields_[col + 1], &level.qty)) {
        return Read::Failed;
      }
      (ask ? asks_ : bids_).push_back(level);
    }
  }
  if (!ok) {
    diagnose(line);
    return Read::Failed;
  }
  if (!time(exch, 2, fields_[2], &row->exch) || !time(local, 3, fields_[3], &row->local)) {
    return Read::Failed;
  }
  row->raw_time = exch;
  row->snapshot = true;
  return Read::Row;
}

RowStream::Read RowStream::parse_marks(std::string_view line, Row* row) {
  Parsed v;
  Slots<std::string_view> f;
  if (!read_fields(layout_entry(layout_), line, &v, f)) {
    diagnose(line);
    return Read::Failed;
  }
  bool ok = false;
  Nanos open = 0;
  if (layout_ == Layout::Klines) {
    // A kline's close is known at its close time, which is the record's.
    ok = time(v.ints[0], 0, f[0], &open) && time(v.ints[6], 6, f[6], &row->exch) &&
         mark(v.decs[4], scaling_.premium, 4, f[4], &row->a);
    row->local = row->exch;
    row->raw_time = v.ints[6];
    row->present = present::MARK;
    return ok ? Read::Row : Read::Failed;
  }
  ok = time(v.ints[2], 2, f[2], &row->exch) && time(v.ints[3], 3, f[3], &row->local);
  row->raw_time = v.ints[2];
  row->present = 0;
  if (ok && v.has(4)) {
    ok = time(v.ints[4], 4, f[4], &row->id);
    row->present |= present::FUNDING_TIME;
  }
  if (ok && v.has(5)) {
    ok = rate(v.decs[5], 5, f[5], &row->last_id);
    row->present |= present::FUNDING_RATE;
  }
  if (ok && v.has(9)) {
    ok = mark(v.decs[9], false, 9, f[9], &row->b);
    row->present |= present::INDEX;
  }
  if (ok && v.has(10)) {
    ok = mark(v.decs[10], false, 10, f[10], &row->a);
    row->present |= present::MARK;
  }
  return ok ? Read::Row : Read::Failed;
}

}  // namespace halvorn::data
