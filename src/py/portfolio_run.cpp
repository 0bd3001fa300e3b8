#include "py/portfolio_run.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "backtest/kway_merge.hpp"
#include "py/argument_conversion.hpp"
#include "py/pre_run_checks.hpp"
#include "py/run_files.hpp"
#include "py/run_steps.hpp"
#include "py/values.hpp"
#include "py/venue/instrument_class.hpp"
#include "py/venue/venue_state.hpp"

namespace halvorn::py {

namespace {

// A dict's (key, value) pairs as a tuple of its own, which no Python code
// can empty while they are converted.  Null with the exception set.
Ref items_of(PyObject* dict) {
  Ref list = Ref::steal(PyDict_Items(dict));
  return list ? Ref::steal(PyList_AsTuple(list.get())) : Ref();
}

// One instrument's series in a portfolio run: in memory, or a tick file
// being streamed.
struct LegTicks {
  backtest::SpanTicks span;
  data::StreamedTicks* file = nullptr;

  bool next(engine::Tick& out) { return file != nullptr ? file->next(out) : span.next(out); }
  const engine::Tick* next_in_place() {
    return file != nullptr ? file->next_in_place() : span.next_in_place();
  }
  std::size_t in_place() const { return file != nullptr ? file->in_place() : span.in_place(); }
  std::span<const engine::Tick> peek_in_place(std::size_t n) const {
    return file != nullptr ? file->peek_in_place(n) : span.peek_in_place(n);
  }
  void skip_in_place(std::size_t k) {
    if (file != nullptr) {
      file->skip_in_place(k);
    } else {
      span.skip_in_place(k);
    }
  }
};

// The index of the leg `symbol` names, or legs.size() for none; -1 with the
// exception set when comparing raised.
Py_ssize_t leg_of(const PortfolioInput& p, PyObject* symbol) {
  for (std::size_t i = 0; i < p.legs.size(); ++i) {
    const int same = PyObject_RichCompareBool(symbol, p.legs[i].symbol.get(), Py_EQ);
    if (same < 0) return -1;
    if (same > 0) return static_cast<Py_ssize_t>(i);
  }
  return static_cast<Py_ssize_t>(p.legs.size());
}

// The mark files of a portfolio (a dict of symbol to MarkSource), each
// checked as a run of one instrument checks its own: mark prices, not a
// premium index, of the instrument they are given for.
bool resolve_marks(PyObject* given, PortfolioInput* p) {
  Ref items = items_of(given);
  if (!items) return false;
  p->marks.assign(p->legs.size(), nullptr);
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), k);
    PyObject* symbol = PyTuple_GET_ITEM(item, 0);
    const Py_ssize_t at = leg_of(*p, symbol);
    if (at < 0) return false;
    if (static_cast<std::size_t>(at) == p->legs.size()) {
      PyErr_Format(PyExc_ValueError,
                   "marks are given for %R, which the portfolio does not trade: give marks for "
                   "instruments with ticks",
                   symbol);
      return false;
    }
    const market_data::MarkSourceData* marks = nullptr;
    if (!market_data::mark_source_of(PyTuple_GET_ITEM(item, 1), "marks", &marks)) return false;
    if (marks->kind != data::MarkKind::Price) {
      PyErr_Format(PyExc_ValueError,
                   "the mark file %R given for %R holds a premium index, not mark prices",
                   marks->path.get(), symbol);
      return false;
    }
    const venue::VenueConfig& v = p->legs[static_cast<std::size_t>(at)].venue;
    if (!check_file_instrument("the mark file", marks->path.get(),
                               mark_file_definition(marks->fs_path), v, symbol)) {
      return false;
    }
    p->marks[static_cast<std::size_t>(at)] = marks;
  }
  return true;
}

// The depth files of a portfolio (a dict of symbol to DepthSource), each
// checked against its instrument: only tier L2 keeps a book, and a file
// that defines another instrument would price this one's fills from a
// market it never saw.  False with the exception set.
bool resolve_depths(PyObject* given, PortfolioInput* p) {
  Ref items = items_of(given);
  if (!items) return false;
  p->depth.assign(p->legs.size(), nullptr);
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), k);
    PyObject* symbol = PyTuple_GET_ITEM(item, 0);
    const Py_ssize_t found = leg_of(*p, symbol);
    if (found < 0) return false;
    const auto at = static_cast<std::size_t>(found);
    if (at == p->legs.size()) {
      PyErr_Format(PyExc_ValueError,
                   "depth is given for %R, which the portfolio does not trade: give depth for "
                   "instruments with ticks",
                   symbol);
      return false;
    }
    const market_data::DepthSourceData* depth = nullptr;
    if (!market_data::depth_source_of(PyTuple_GET_ITEM(item, 1), "depth", &depth)) return false;
    const venue::VenueConfig& v = p->legs[at].venue;
    if (!std::holds_alternative<core::Tier::L2>(v.tier.kind)) {
      PyErr_Format(PyExc_ValueError,
                   "depth is read only by tier L2, and the venue of %R is of tier %s: give it "
                   "Venue(tier=L2(...)) or leave its depth out",
                   symbol, v.tier.name());
      return false;
    }
    if (!check_file_instrument("the depth file", depth->path.get(),
                               depth_file_definition(depth->fs_path), v, symbol)) {
      return false;
    }
    p->depth[at] = depth;
  }
  return true;
}

// What belongs to the account rather than to an instrument has to be the
// same on every instrument's venue.
bool same_account(const PortfolioInput& p) {
  const venue::VenueConfig& first = p.legs.front().venue;
  for (const venue::InstrumentLeg& leg : p.legs) {
    const venue::VenueConfig& v = leg.venue;
    const char* field = v.hedge != first.hedge                     ? "hedge"
                        : v.enforce_margin != first.enforce_margin ? "enforce_margin"
                        : v.track_margin != first.track_margin     ? "track_margin"
                        : v.resting != first.resting               ? "resting_fills"
                        : v.triggered != first.triggered           ? "triggered_fills"
                                                                   : nullptr;
    if (field != nullptr) {
      PyErr_Format(PyExc_ValueError,
                   "%s belongs to the account, which the instruments of a portfolio share, and "
                   "the venues of %R and %R differ in it: give every instrument's Venue the same "
                   "%s",
                   field, p.legs.front().symbol.get(), leg.symbol.get(), field);
      return false;
    }
  }
  return true;
}

std::vector<Ref> symbols_of(const PortfolioInput& p) {
  std::vector<Ref> symbols;
  for (const venue::InstrumentLeg& leg : p.legs) symbols.push_back(leg.symbol);
  return symbols;
}

// The instruments that have a stream in `streams`, in order: index i is
// instrument i + 1.
template <class Streamed>
std::vector<InstrumentId> instruments_with(const std::vector<std::optional<Streamed>>& streams) {
  std::vector<InstrumentId> ids;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (streams[i]) ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
  }
  return ids;
}

// Runs `driven` over the merged series of `p`, with the lock released; the
// files are opened first.  False with the exception set when one does not
// open.
template <class Driven>
bool run_merged(const backtest::RunConfig& config, Driven& driven, Gil& gil,
                const PortfolioInput& p, std::uint64_t batch, backtest::RunResult* result,
                RunEnd* end) {
  RunFiles opened;
  if (!open_run_files(gil, driven.read_hooks(), driven.interrupt(), p.inputs, p.depth, p.marks,
                      &opened)) {
    return false;
  }
  const std::size_t n = p.inputs.size();
  std::vector<LegTicks> legs(n);
  std::uint64_t total = opened.tick_records;
  for (std::size_t i = 0; i < n; ++i) {
    if (const auto* series = std::get_if<TickArray>(&p.inputs[i])) {
      legs[i].span = backtest::SpanTicks{*series};
      total += series->size();
    } else {
      legs[i].file = &*opened.ticks[i];
    }
  }
  std::vector<LegTicks*> sources;
  std::vector<InstrumentId> ids;
  for (std::size_t i = 0; i < n; ++i) {
    sources.push_back(&legs[i]);
    ids.push_back(InstrumentId{static_cast<std::uint32_t>(i + 1)});
  }
  // Each instrument's depth, merged by time, each record for its holding.
  std::vector<InstrumentId> depth_ids = instruments_with(opened.depth);
  std::vector<data::StreamedDepth*> depth_sources;
  for (auto& file : opened.depth) {
    if (file) depth_sources.push_back(&*file);
  }
  // And each instrument's marks.
  std::vector<std::optional<data::StreamedMarks>>& mark_files = opened.marks;
  std::vector<InstrumentId> mark_ids = instruments_with(mark_files);
  std::vector<MarkPoints> mark_points;
  mark_points.reserve(mark_files.size());
  for (auto& file : mark_files) {
    if (file) mark_points.push_back(MarkPoints{*file});
  }
  std::vector<MarkPoints*> mark_sources;
  for (MarkPoints& m : mark_points) mark_sources.push_back(&m);
  driven.limit_series(total);
  backtest::MergedTicks<LegTicks> merged(std::move(sources), ids, backtest::merge_block(batch));
  // Wallets are valued from the start at each instrument's first price.
  backtest::RunConfig valued;
  const backtest::RunConfig* used = &config;
  if (!config.wallets.empty()) {
    valued = config;
    std::vector<const engine::Tick*> firsts;
    for (std::size_t i = 0; i < n; ++i) firsts.push_back(merged.first_of(i));
    set_openings(valued, firsts);
    used = &valued;
  }
  auto run = [&](auto& depth, auto& marks) {
    run_unlocked(
        gil, [&] { *result = backtest::run_until_failure(*used, driven, merged, depth, marks); });
  };
  // The marks merged in when there are any, else none at no cost a tick.
  auto with_marks = [&](auto& depth) {
    if (mark_sources.empty()) {
      backtest::NoMarks none;
      run(depth, none);
    } else {
      backtest::MergedMarks<MarkPoints> marks(std::move(mark_sources), std::move(mark_ids));
      run(depth, marks);
    }
  };
  if (depth_sources.empty()) {
    backtest::NoDepth none;
    with_marks(none);
  } else {
    backtest::MergedDepth<data::StreamedDepth> depth(std::move(depth_sources),
                                                     std::move(depth_ids));
    with_marks(depth);
    if (depth.error()) end->depth_error = *depth.error();
  }
  for (const auto& file : opened.ticks) {
    if (file && file->error() && !end->reader_error) end->reader_error = *file->error();
  }
  for (const auto& file : mark_files) {
    if (file && file->error() && !end->mark_error) end->mark_error = *file->error();
  }
  return true;
}

}  // namespace

int is_portfolio(PyObject* ticks) {
  if (!PyDict_Check(ticks)) return 0;
  Ref key = Ref::steal(PyUnicode_FromString("exch_ts"));
  if (!key) return -1;
  const int columns = PyDict_Contains(ticks, key.get());
  return columns < 0 ? -1 : !columns;
}

bool resolve_portfolio(const RunRequest& request, PyObject* ticks, PortfolioInput* out) {
  // Private copies: converting a value runs Python code, which may change
  // the dicts it came from (and could empty a list of their items).
  Ref items = items_of(ticks);
  Ref venues = request.venues != nullptr ? Ref::steal(PyDict_Copy(request.venues)) : Ref();
  if (!items || (request.venues != nullptr && !venues)) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError,
                    "a portfolio needs the ticks of at least one instrument: give "
                    "{symbol: ticks, ...}");
    return false;
  }
  if (static_cast<std::uint64_t>(n) > UINT32_MAX - 1) {
    PyErr_SetString(PyExc_ValueError, "a portfolio holds fewer than 2**32 instruments");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(items.get(), i);
    Ref symbol = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    Ref value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    if (!PyUnicode_Check(symbol.get())) {
      PyErr_Format(PyExc_TypeError,
                   "the ticks of a portfolio are a dict of symbol (a str) to ticks; got the key "
                   "%R",
                   symbol.get());
      return false;
    }
    const venue::VenueConfig* config = request.venue;
    Ref held;  // the Venue `config` lies in, for this instrument's conversion
    if (venues) {
      PyObject* given = PyDict_GetItemWithError(venues.get(), symbol.get());
      if (given == nullptr) {
        if (!PyErr_Occurred()) {
          PyErr_Format(PyExc_ValueError,
                       "%R has ticks and no venue: give venue={..., %R: Venue(...)}", symbol.get(),
                       symbol.get());
        }
        return false;
      }
      held = Ref::borrow(given);
      if (!venue::venue_config(const_cast<venue::VenueState*>(request.venue_module), held.get(),
                               &config)) {
        return false;
      }
      if (PyDict_DelItem(venues.get(), symbol.get()) < 0) return false;
    }
    RunRequest one = request;
    one.venue = config;
    TickInput input;
    if (!resolve_input(one, value.get(), &input)) return false;
    // A portfolio numbers its instruments itself; a file's own id says
    // nothing about which of them it holds, its definition does.
    venue::VenueConfig given = *config;
    if (const auto* file = std::get_if<const TickSourceData*>(&input)) {
      given.instrument = static_cast<std::uint32_t>((*file)->instrument);
    }
    venue::VenueConfig used;
    if (!venue_of_input(input, given, &used)) return false;
    if (!used.definition) {
      PyErr_Format(PyExc_ValueError,
                   "%R has no Instrument: the instruments of a portfolio differ in their tick "
                   "and lot sizes, so give its Venue(instrument=Instrument(...)) or ticks from a "
                   "file converted with its symbol",
                   symbol.get());
      return false;
    }
    std::string text;
    if (!utf8_of(symbol.get(), &text)) return false;
    if (used.definition->symbol != text) {
      PyErr_Format(PyExc_ValueError, "the ticks given as %R are of %s: give them as %s's",
                   symbol.get(), venue::instrument_text(*used.definition).c_str(),
                   used.definition->symbol.c_str());
      return false;
    }
    used.instrument = static_cast<std::uint32_t>(i + 1);
    out->legs.push_back(venue::InstrumentLeg{symbol, std::move(used)});
    out->inputs.push_back(std::move(input));
  }
  if (venues && PyDict_GET_SIZE(venues.get()) > 0) {
    Py_ssize_t at = 0;
    PyObject *key, *unused;
    PyDict_Next(venues.get(), &at, &key, &unused);
    PyErr_Format(PyExc_ValueError, "%R is configured and given no ticks: give ticks={..., %R: ...}",
                 key, key);
    return false;
  }
  return same_account(*out);
}

namespace {

std::string codes_text(const std::vector<Currency>& codes) {
  std::string text;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (i > 0) text += i + 1 == codes.size() ? " and " : ", ";
    text += codes[i].code();
  }
  return text;
}

}  // namespace

bool balances_for(const RunRequest& request, backtest::RunConfig* config) {
  std::vector<Currency> currencies;
  for (const backtest::InstrumentConfig& i : config->instruments) currencies.push_back(i.settle);
  std::sort(currencies.begin(), currencies.end());
  currencies.erase(std::unique(currencies.begin(), currencies.end()), currencies.end());
  if (request.wallets.empty()) {
    if (currencies.size() == 1) {
      config->balance = request.balance;
      return true;
    }
    // One amount for several currencies would be read as some wallet's and
    // leave the others empty, or as all of theirs: neither is what was meant.
    PyErr_Format(PyExc_ValueError,
                 "balance: the instruments settle in %s, a wallet each: give balance as a dict "
                 "of currency to amount, as {\"%s\": 10_000, \"%s\": \"0.5\"}",
                 codes_text(currencies).c_str(), currencies.back().code().c_str(),
                 currencies.front().code().c_str());
    return false;
  }
  std::vector<Currency> named;
  for (const auto& [currency, amount] : request.wallets) named.push_back(currency);
  if (named != currencies) {
    PyErr_Format(PyExc_ValueError,
                 "balance names %s, and the instruments settle in %s: give a balance for each "
                 "currency they settle in and for no other",
                 codes_text(named).c_str(), codes_text(currencies).c_str());
    return false;
  }
  if (currencies.size() == 1) {
    config->balance = request.wallets.front().second;
  } else {
    config->wallets = request.wallets;
  }
  return true;
}

void set_openings(backtest::RunConfig& config, std::span<const engine::Tick* const> firsts) {
  for (std::size_t i = 0; i < firsts.size() && i < config.instruments.size(); ++i) {
    if (firsts[i] != nullptr) config.instruments[i].opening = firsts[i]->last;
  }
}

bool portfolio_config(const PortfolioInput& p, const RunRequest& request,
                      std::uint64_t equity_every, backtest::RunConfig* out) {
  backtest::RunConfig config = p.legs.front().venue.run_config(request.balance, equity_every);
  for (std::size_t i = 1; i < p.legs.size(); ++i) {
    config.instruments.push_back(p.legs[i].venue.instrument_config());
  }
  if (!balances_for(request, &config)) return false;
  *out = std::move(config);
  return true;
}

bool portfolio_parts(const RunRequest& request, const PortfolioInput& p, AdapterParts* parts) {
  parts->instruments = RunInstruments();
  for (const venue::InstrumentLeg& leg : p.legs) {
    if (!parts->instruments.add(request.venue_module, InstrumentId{leg.venue.instrument},
                                leg.venue.definition)) {
      return false;
    }
  }
  const std::vector<Ref> symbols = symbols_of(p);
  Ref mapping = Ref::steal(parts->instruments.by_symbol(symbols));
  if (!mapping || !PortfolioView::of(request.venue_module, symbols, &parts->portfolio)) {
    return false;
  }
  parts->portfolio.set_instruments(std::move(mapping));
  return true;
}

bool run_portfolio(const RunRequest& request, PyObject* strategy, PyObject* ticks,
                   backtest::RunResult* out, venue::VenueConfig* used,
                   std::vector<venue::InstrumentLeg>* legs_out) {
  const bool compiled = is_compiled(request, strategy);
  if (compiled && !compiled_run_allowed(request)) return false;
  if (compiled && request.batch != 1) {
    // A batch of a portfolio's merged series mixes instruments, and a
    // tick record does not say whose it is.
    PyErr_SetString(PyExc_ValueError,
                    "a compiled strategy decides on every tick of a portfolio, where the "
                    "account's instrument word names each tick's instrument; give batch=1");
    return false;
  }
  if (request.depth != nullptr || request.marks != nullptr || request.marks_in_memory) {
    PyErr_SetString(PyExc_ValueError,
                    request.depth != nullptr
                        ? "a portfolio's depth is a dict of symbol to DepthSource, for its "
                          "instruments on L2"
                        : "a portfolio's marks are a dict of symbol to MarkSource");
    return false;
  }
  if (!compiled && !check_cadence(strategy, request.batch, true)) return false;
  PortfolioInput p;
  if (!resolve_portfolio(request, ticks, &p)) return false;
  if (request.depths != nullptr && !resolve_depths(request.depths, &p)) return false;
  if (request.mark_files != nullptr && !resolve_marks(request.mark_files, &p)) return false;
  for (std::size_t i = 0; i < p.legs.size(); ++i) {
    if (!warn_before_run(p.inputs[i], p.legs[i].venue, p.marks.empty() ? nullptr : p.marks[i],
                         p.legs[i].symbol.get())) {
      return false;
    }
  }
  backtest::RunConfig config;
  if (!portfolio_config(p, request, request.equity_every, &config)) return false;
  if (compiled) {
    // Order for the instruments by id, 1 for the first of the portfolio's
    // dict; the account's records give each one's position.
    std::uint64_t total = 0;
    for (const TickInput& input : p.inputs) total += length_of(input);
    CompiledParts parts;
    if (!compiled_parts(strategy, 1, &parts) ||
        !RunProgress::of(request.progress, total, &parts.progress)) {
      return false;
    }
    Gil gil;
    CompiledDriven driven(gil, std::move(parts));
    RunEnd end;
    const bool ran = run_merged(config, driven, gil, p, 1, out, &end);
    if (used != nullptr) *used = p.legs.front().venue;
    if (legs_out != nullptr) *legs_out = p.legs;
    return finish_run(driven, ran, out, end);
  }
  RunRequest first = request;
  first.venue = &p.legs.front().venue;
  std::uint64_t total = 0;
  for (const TickInput& input : p.inputs) total += length_of(input);
  AdapterParts parts;
  if (!adapter_parts(first, strategy, request.batch, total, &parts)) return false;
  if (!portfolio_parts(request, p, &parts)) return false;
  Gil gil;
  PyDriven driven(gil, Ref::borrow(strategy), strategy_name(strategy), std::move(parts));
  RunEnd end;
  const bool ran = run_merged(config, driven, gil, p, request.batch, out, &end);
  if (used != nullptr) *used = p.legs.front().venue;
  if (legs_out != nullptr) *legs_out = p.legs;
  return finish_run(driven, ran, out, end);
}

}  // namespace halvorn::py
