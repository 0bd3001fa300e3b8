#include "data/csv_stream.hpp"

#include <algorithm>

#include "types/panic.hpp"

namespace halvorn::data {

namespace {

std::vector<std::string_view> split(std::string_view line) {
  std::vector<std::string_view> out;
  const char* p = line.data();
  const char* end = p + line.size();
  for (;;) {
    const char* q = field_end(p, end);
    out.emplace_back(p, static_cast<std::size_t>(q - p));
    if (q == end) return out;
    p = q + 1;
  }
}

bool is_blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

// The heap of the sorting window keeps its earliest row on top; rows of
// equal time leave in the order of the files.
bool later(const Row& x, const Row& y) {
  if (x.exch != y.exch) return x.exch > y.exch;
  if (x.file != y.file) return x.file > y.file;
  return x.line > y.line;
}

}  // namespace

RowStream::RowStream(StreamKind kind, const Input& input, const StreamOptions& options,
                     const Scaling& scaling, Meter* meter)
    : kind_(kind),
      options_(options),
      scaling_(scaling),
      billionth_(*parse_step("0.000000001")),
      meter_(meter),
      reader_(input, meter) {
  // Room grows with the rows read, not with the window asked for: a window
  // of a billion rows over a short file must not reserve a billion rows.
  if (options_.sort_window > 0) window_.reserve(std::min<std::size_t>(options_.sort_window, 4096));
}

bool RowStream::fail(Place where, decltype(ConvertError::kind) kind) {
  error_ = ConvertError{std::move(where), std::move(kind)};
  return false;
}

bool RowStream::fail_here(decltype(ConvertError::kind) kind) {
  return fail(Place{files_.back(), reader_.line_number()}, std::move(kind));
}

std::string RowStream::column(std::size_t i) const {
  return std::string(layout_entry(layout_).columns[i].name);
}

bool RowStream::start_file() {
  std::string name;
  if (!reader_.next_file(&name)) return false;
  files_.push_back(std::move(name));
  in_file_ = true;
  started_ = false;
  unit_ = options_.unit;
  nanos_ = unit_ == TimeUnit::Detect ? 0 : unit_nanos(unit_);
  detected_ = false;
  unit_line_ = 0;
  blank_line_ = 0;
  return true;
}

RowStream::Read RowStream::first_line(std::string_view line, bool* header) {
  const std::vector<std::string_view> fields = split(line);
  const Layout named = header_layout(fields);
  *header = named != Layout::Detect;
  if (*header) {
    if (options_.layout != Layout::Detect && options_.layout != named) {
      fail_here(WrongLayout{options_.layout, named});
      return Read::Failed;
    }
    layout_ = named;
  } else if (looks_like_header(fields)) {
    fail_here(UnknownHeader{std::string(line), kind_});
    return Read::Failed;
  } else {
    layout_ = options_.layout != Layout::Detect ? options_.layout : shape_layout(kind_, fields);
    if (layout_ == Layout::Detect) {
      fail_here(UnknownShape{fields.size(), kind_});
      return Read::Failed;
    }
  }
  if (layout_kind(layout_) != kind_) {
    fail(Place{files_.back(), 0},
         NotForStream{kind_, layout_, !*header && options_.layout == Layout::Detect});
    return Read::Failed;
  }
  if (stream_layout_ == Layout::Detect) {
    stream_layout_ = layout_;
    first_file_ = files_.size() - 1;
  } else if (stream_layout_ != layout_) {
    fail(Place{files_.back(), 0}, LayoutChanged{stream_layout_, layout_, files_[first_file_]});
    return Read::Failed;
  }
  started_ = true;
  return Read::Row;
}

RowStream::Read RowStream::read_row(Row* row) {
  for (;;) {
    if (!in_file_ && !start_file()) return Read::End;
    std::string_view line;
    switch (reader_.next_line(&line)) {
      case LineReader::Got::Line:
        break;
      case LineReader::Got::End:
        in_file_ = false;
        continue;
      case LineReader::Got::TooLong:
        fail_here(LineTooLong{});
        return Read::Failed;
      case LineReader::Got::ReadFailed:
        fail(Place{files_.back(), 0}, ReadFailed{});
        return Read::Failed;
      case LineReader::Got::Stopped:
        fail(Place{}, Stopped{});
        return Read::Failed;
    }
    if (line.empty() || is_blank(line)) {
      // Blank lines at the end of a file (or before anything) are harmless;
      // one between rows is an error, reported once a row follows it.
      if (started_ && blank_line_ == 0) blank_line_ = reader_.line_number();
      continue;
    }
    if (blank_line_ != 0) {
      fail(Place{files_.back(), blank_line_}, ColumnCount{layout_, 0});
      return Read::Failed;
    }
    if (!started_) {
      bool header = false;
      if (first_line(line, &header) == Read::Failed) return Read::Failed;
      if (header) continue;
    }
    const Read r = parse(line, row);
    if (r == Read::Row) {
      ++meter_->rows;
      row->line = reader_.line_number();
      row->file = static_cast<std::uint32_t>(files_.size() - 1);
    }
    return r;
  }
}

void RowStream::diagnose(std::string_view line) {
  const std::vector<std::string_view> fields = split(line);
  const std::span<const LayoutColumn> columns = layout_entry(layout_).columns;
  if (fields.size() != columns.size()) {
    fail_here(ColumnCount{layout_, fields.size()});
    return;
  }
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string_view t = fields[i];
    Col type = columns[i].type;
    if (type == Col::OptInt || type == Col::OptDec) {
      if (t.empty()) continue;
      type = type == Col::OptInt ? Col::Int : Col::Dec;
    }
    switch (type) {
      case Col::Int: {
        std::int64_t ignored;
        const IntFault f = parse_int(t, &ignored);
        if (f == IntFault::NotAnInteger) {
          fail_here(BadField{column(i), std::string(t), Expected::Integer});
          return;
        }
        if (f == IntFault::OutOfRange) {
          fail_here(OutOfRange{column(i), std::string(t), Limit::Integer, ""});
          return;
        }
        break;
      }
      case Col::Dec: {
        Decimal ignored;
        const DecimalFault f = parse_decimal(t, &ignored);
        if (f == DecimalFault::NotANumber) {
          fail_here(BadField{column(i), std::string(t), Expected::Decimal});
          return;
        }
        if (f != DecimalFault::None) {
          const Limit l = f == DecimalFault::TooManyDigits ? Limit::Digits : Limit::Exponent;
          fail_here(OutOfRange{column(i), std::string(t), l, ""});
          return;
        }
        break;
      }
      case Col::Bool:
        if (!parse_bool(t)) {
          fail_here(BadField{column(i), std::string(t), Expected::Boolean});
          return;
        }
        break;
      case Col::Side:
        if (!parse_side(t)) {
          fail_here(BadField{column(i), std::string(t), Expected::Side});
          return;
        }
        break;
      case Col::Book:
        if (!parse_book_side(t)) {
          fail_here(BadField{column(i), std::string(t), Expected::BookSide});
          return;
        }
        break;
      case Col::Type:
        if (!parse_update_type(t)) {
          fail_here(BadField{column(i), std::string(t), Expected::UpdateType});
          return;
        }
        break;
      case Col::Chain:
        if (!parse_chained_update_type(t)) {
          fail_here(BadField{column(i), std::string(t), Expected::ChainedUpdateType});
          return;
        }
        break;
      case Col::Text:
      case Col::OptInt:
      case Col::OptDec:
        break;
    }
  }
  panic("a row refused in one pass is refused field by field");
}

bool RowStream::repeated(const Row& row, bool* drop) {
  *drop = false;
  const Layout layout = stream_layout_;
  std::optional<Place> original;
  if (layout == Layout::AggTrades) {
    // Aggregated ids must increase, so a repeat can only be of the row
    // before; kept, the id order check refuses it as it always has.
    if (scaling_.repeats == Repeats::Skip && any_id_ && row.id == last_id_) {
      original = place(last_out_);
    }
  } else if (layout == Layout::Trades || layout == Layout::ClockedTrades) {
    // The same trade twice is the same row twice, so it is at the same time:
    // only the ids of the rows at this time need keeping.
    if (row.exch != seen_time_) seen_.clear();
    seen_time_ = row.exch;
    // Numeric ids usually increase, and one above every id kept is new.
    const bool above = layout == Layout::Trades && !seen_.empty() && row.id > seen_max_;
    for (std::size_t i = 0; !above && i < seen_.size() && !original; ++i) {
      if (seen_[i].id == row.id) original = Place{files_[seen_[i].file], seen_[i].line};
    }
    if (!original) {
      if (seen_.empty() || row.id > seen_max_) seen_max_ = row.id;
      seen_.push_back(SeenId{row.id, row.file, row.line});
    }
  }
  if (!original) return true;
  if (scaling_.repeats == Repeats::Refuse) {
    std::optional<std::int64_t> id;
    if (layout != Layout::ClockedTrades) id = row.id;
    const bool other_file = original->file != files_[row.file];
    return fail(place(row), Duplicate{id, row.exch, std::move(*original), other_file});
  }
  ++duplicates_;
  if (!first_repeat_) first_repeat_.emplace(place(row), std::move(*original));
  *drop = scaling_.repeats == Repeats::Skip;
  return true;
}

bool RowStream::emit(Row* row, bool* skip) {
  *skip = false;
  if (any_out_ && row->exch < last_out_.exch) {
    return fail(
        place(*row),
        Backwards{std::string(
                      layout_entry(stream_layout_).columns[layout_entry(stream_layout_).time].name),
                  std::to_string(row->raw_time), row->exch, last_out_.exch, place(last_out_),
                  options_.sort_window, last_out_.file != row->file});
  }
  // Only trade ids repeat, and in aggregated trades only a skip needs more
  // than the order check below.  The common case of the trades layout, a
  // row at the time of the one before with an id above every id kept, is
  // taken here.
  if (stream_layout_ == Layout::Trades && row->exch == seen_time_ && !seen_.empty() &&
      row->id > seen_max_) {
    seen_max_ = row->id;
    seen_.push_back(SeenId{row->id, row->file, row->line});
  } else if (stream_layout_ == Layout::Trades || stream_layout_ == Layout::ClockedTrades ||
             (stream_layout_ == Layout::AggTrades && scaling_.repeats == Repeats::Skip)) {
    if (!repeated(*row, skip)) return false;
    if (*skip) return true;
  }
  if (stream_layout_ == Layout::AggTrades) {
    if (any_id_ && row->id <= last_id_) return fail(place(*row), IdOrder{last_id_, row->id});
    if (any_id_ && row->id != last_id_ + 1 && !scaling_.allow_gaps) {
      return fail(place(*row), IdGap{last_id_, row->id});
    }
    any_id_ = true;
    last_id_ = row->id;
  }
  any_out_ = true;
  last_out_ = *row;
  return true;
}

bool RowStream::next(Row* row) {
  for (;;) {
    if (error_ || ended_) return false;
    if (options_.sort_window == 0) {
      const Read r = read_row(row);
      if (r != Read::Row) {
        if (r == Read::End) ended_ = true;
        return false;
      }
    } else if (!next_windowed(row)) {
      return false;
    }
    bool skip = false;
    if (!emit(row, &skip)) return false;
    if (!skip) return true;
  }
}

// The next row of a sorting window, not yet checked against those handed
// out.
bool RowStream::next_windowed(Row* row) {
  while (!input_done_ && window_.size() < options_.sort_window) {
    Row r;
    const Read got = read_row(&r);
    if (got == Read::Failed) return false;
    if (got == Read::End) {
      input_done_ = true;
      break;
    }
    // Every row still in the window is at or after the last one handed
    // out, so only a newcomer can be too old; it is handed on to be refused.
    if (any_out_ && r.exch < last_out_.exch) {
      *row = r;
      return true;
    }
    window_.push_back(r);
    std::push_heap(window_.begin(), window_.end(), later);
  }
  if (window_.empty()) {
    ended_ = true;
    return false;
  }
  std::pop_heap(window_.begin(), window_.end(), later);
  *row = window_.back();
  window_.pop_back();
  return true;
}

}  // namespace halvorn::data
