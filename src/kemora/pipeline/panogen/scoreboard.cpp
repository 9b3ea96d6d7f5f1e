#include "kemora/pipeline/panogen/scoreboard.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "kemora/common/json.hpp"
#include "kemora/common/json_scan.hpp"
#include "kemora/common/limits.hpp"
#include "kemora/common/mapped_file.hpp"
#include "kemora/errors.hpp"
#include "kemora/pipeline/panogen/errors.hpp"

namespace kemora::pipeline::panogen {
namespace {

using common::JsonSpan;
using common::MappedFile;

/// Groups are made no smaller than this many bytes of rows, unless the
/// caller asks for a number of threads.
constexpr std::size_t kMinGroupBytes = std::size_t{2} << 20;
constexpr unsigned kMaxThreads = 8;
/// A group gives back the pages of the rows it has read every this many bytes.
constexpr std::size_t kDropBytes = std::size_t{4} << 20;

/// Says why the JSON reader refuses a text the outline refused, in the words
/// of every JSON error of ours. Inside the rows list, a fault of the text
/// itself (not UTF-8, nested too deeply) names the row too.
class FaultFinder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FaultFinder> {
 public:
  explicit FaultFinder(const rapidjson::MemoryStream& stream) : stream_(stream) {}

  bool Default() { return value_done(); }
  bool RawNumber(const char*, rapidjson::SizeType, bool) { return value_done(); }
  bool String(const char* s, rapidjson::SizeType n, bool) { return text(s, n) && value_done(); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (depth_ == 1) rows_member_ = std::string_view(s, n) == "rows";
    return text(s, n);
  }
  bool StartObject() { return open(); }
  bool StartArray() {
    if (depth_ == 1 && rows_member_) {
      in_rows_ = true;
      row_ = 0;
    }
    return open();
  }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  const common::JsonGuard& guard() const { return guard_; }
  /// "rows[i]: " for a fault of the guard inside the rows list, else "".
  const std::string& where() const { return where_; }

 private:
  bool text(const char* s, rapidjson::SizeType n) {
    return guard_.string(s, n, stream_.Tell()) || noted();
  }
  bool open() {
    if (depth_ >= common::kMaxNesting) {
      guard_.too_deep(stream_.Tell() - 1);
      return noted();
    }
    ++depth_;
    return true;
  }
  bool close() {
    if (--depth_ == 1) in_rows_ = false;
    return value_done();
  }
  bool value_done() {
    if (depth_ == 2 && in_rows_) ++row_;
    return true;
  }
  bool noted() {
    if (in_rows_ && depth_ >= 2) where_ = "rows[" + std::to_string(row_) + "]: ";
    return false;
  }

  const rapidjson::MemoryStream& stream_;
  common::JsonGuard guard_;
  int depth_ = 0;
  bool rows_member_ = false;
  bool in_rows_ = false;
  std::size_t row_ = 0;
  std::string where_;
};

[[noreturn]] void throw_fault(std::string_view text, const std::string& source, std::size_t outline_stop) {
  rapidjson::MemoryStream stream(text.data(), text.size());
  FaultFinder finder(stream);
  rapidjson::Reader reader;
  constexpr unsigned kFlags = rapidjson::kParseNanAndInfFlag | rapidjson::kParseNumbersAsStringsFlag;
  const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, finder);
  if (finder.guard().fault())
    throw InvalidJson(source + ": " + finder.where() + "invalid JSON at byte " +
                             std::to_string(finder.guard().fault_offset(text)) + ": " + finder.guard().fault_text());
  if (result.IsError())
    throw InvalidJson(source + ": invalid JSON at byte " + std::to_string(result.Offset()) + ": " +
                             rapidjson::GetParseError_En(result.Code()));
  // The outline and the reader are meant to agree on every text.
  throw InvalidJson(source + ": invalid JSON at byte " + std::to_string(outline_stop));
}

JsonDoc parse(std::string_view text, const JsonSpan& span, const std::string& source) {
  return common::json_parse(text.substr(span.begin, span.size()), source);
}

void read_meta(Scoreboard& sb, JsonDoc meta) {
  if (!meta.IsObject()) throw std::runtime_error("meta must be a map, not " + std::string(common::json_kind_name(meta)));
  sb.meta = std::move(meta);
  auto d = sb.meta.FindMember("donemler");
  if (d != sb.meta.MemberEnd()) sb.donemler.CopyFrom(d->value, sb.donemler.GetAllocator());
  else sb.donemler.SetArray();
  auto r = sb.meta.FindMember("risk_donemler");
  sb.risk_donemler.CopyFrom(r != sb.meta.MemberEnd() ? r->value : static_cast<const Json&>(sb.donemler),
                            sb.risk_donemler.GetAllocator());
  // A period list that is empty (or null, false, 0, "") means: nothing to render.
  sb.has_periods = common::json_truthy(sb.donemler);
}

/// A contiguous group of rows: those that begin in a range of bytes of the
/// rows list, and what became of them.
struct Group {
  explicit Group(const RowEncoder& encoder) : rows(encoder) {}
  std::size_t first = 0;          ///< index of its first row in the list
  std::vector<JsonSpan> spans;    ///< its rows
  RowGroup rows;
  std::optional<std::size_t> fault_row;
  std::string fault;
  std::exception_ptr failure;     ///< anything else that went wrong
};

/// The encode: the rows of the list in contiguous groups, encoded by a few
/// threads, each taking the next group in order. Groups are handed over as
/// soon as the scan has read all of their rows, so that the threads can
/// encode the first rows while the scan reads the last ones; the result does
/// not depend on when or by which thread a group was encoded.
class RowEncoding {
 public:
  RowEncoding(std::string_view text, const MappedFile& file, const RowFilter& filter, const std::string& source)
      : text_(text), file_(file), filter_(filter), source_(source) {}
  ~RowEncoding() { stop(); }
  RowEncoding(const RowEncoding&) = delete;
  RowEncoding& operator=(const RowEncoding&) = delete;

  /// How many threads to use for rows in `bytes` bytes; 0 asks for as many
  /// as are worth it.
  unsigned threads_for(unsigned threads, std::size_t bytes) const {
    if (filter_) return 1;
    if (threads != 0) return threads;
    const unsigned cores = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxThreads);
    return static_cast<unsigned>(std::min<std::size_t>(cores, std::max<std::size_t>(1, bytes / kMinGroupBytes)));
  }

  /// Prepares for the rows of a list that lies in [begin, end) at most, on
  /// `threads` threads, and starts the helpers.
  void start(const RowEncoder& encoder, std::size_t begin, std::size_t end, unsigned threads) {
    // Several groups a thread, so that no thread waits long for the last.
    const std::size_t count = threads <= 1 ? 1 : std::size_t{4} * threads;
    groups_.reserve(count);
    for (std::size_t g = 0; g < count; ++g) {
      groups_.emplace_back(encoder);
      bounds_.push_back(begin + (end - begin) / count * (g + 1));
    }
    bounds_.back() = SIZE_MAX;
    for (unsigned t = 1; t < threads; ++t) {
      try {
        helpers_.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // no more threads to be had: the others do the work
      }
    }
  }
  bool started() const { return !groups_.empty(); }

  /// The next row of the list.
  void add(const JsonSpan& row) {
    while (row.begin >= bounds_[current_]) {
      groups_[++current_].first = rows_;
      hand_over(current_);
    }
    groups_[current_].spans.push_back(row);
    ++rows_;
  }
  /// Every row has been added.
  void finish() { hand_over(groups_.size()); }

  /// Encodes what is left with the helpers, waits for them and joins the
  /// groups into `sb`.
  void complete(Scoreboard& sb) {
    work();
    for (auto& t : helpers_) t.join();
    helpers_.clear();
    join(sb);
  }

  /// Makes the helpers give up, and waits for them.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    ready_.notify_all();
    for (auto& t : helpers_) t.join();
    helpers_.clear();
  }

 private:
  /// Groups before `count` have all their rows.
  void hand_over(std::size_t count) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_count_ = std::min(count, groups_.size());
    }
    ready_.notify_all();
  }

  void work() {
    for (;;) {
      const std::size_t g = next_.fetch_add(1);
      if (g >= groups_.size()) return;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return stopped_ || g < ready_count_; });
        if (stopped_) return;
      }
      encode(groups_[g]);
    }
  }

  void encode(Group& group) {
    try {
      if (group.spans.empty()) return;
      group.rows.text.reserve((group.spans.back().end - group.spans.front().begin) / 2);
      group.rows.rows.reserve(group.spans.size());
      std::size_t kept = group.spans.front().begin;  // pages before this are given back
      for (std::size_t k = 0; k < group.spans.size(); ++k) {
        const std::size_t i = group.first + k;
        // A row before this one failed: its error is the one reported.
        if (first_fault_.load(std::memory_order_relaxed) < i) return;
        const JsonSpan& span = group.spans[k];
        if (auto fault = encode_row(group.rows, span, i)) {
          group.fault_row = i;
          group.fault = std::move(*fault);
          std::size_t seen = first_fault_.load();
          while (i < seen && !first_fault_.compare_exchange_weak(seen, i)) {
          }
          // The filter sees every row, as if it had gone through the whole
          // list first: an exception of its own on a later row is the error.
          if (filter_)
            for (++k; k < group.spans.size(); ++k)
              if (const std::string_view row = row_text(group.spans[k]); is_map(row))
                filter_(common::json_parse(row, source_));
          return;
        }
        if (span.end - kept >= kDropBytes) {
          file_.drop(kept, span.end);
          kept = span.end;
        }
      }
      file_.drop(kept, group.spans.back().end);
    } catch (...) {
      group.failure = std::current_exception();
    }
  }

  std::string_view row_text(const JsonSpan& span) const { return text_.substr(span.begin, span.size()); }
  static bool is_map(std::string_view row) { return !row.empty() && row[0] == '{'; }

  /// Encodes row `i` into `rows`, unless the filter drops it; the error text
  /// when it cannot be. What the filter throws leaves as it was thrown.
  std::optional<std::string> encode_row(RowGroup& rows, const JsonSpan& span, std::size_t i) const {
    const std::string_view json = row_text(span);
    const auto where = [i] { return "rows[" + std::to_string(i) + "]"; };
    if (!is_map(json)) return where() + " is not a map";
    if (filter_ && !filter_(common::json_parse(json, source_))) return std::nullopt;
    try {
      rows.add(json, span.begin);
    } catch (const std::exception& e) {
      return where() + ": " + e.what();
    }
    return std::nullopt;
  }

  /// The groups in row order: their texts kept as they are, their codes
  /// numbered anew in the order a single pass would have met them.
  void join(Scoreboard& sb) {
    for (const Group& g : groups_) {
      if (g.failure) std::rethrow_exception(g.failure);
      if (g.fault_row) throw ScoreboardError(source_ + ": " + g.fault);
    }
    sb.rows.reserve(rows_);
    sb.texts.reserve(groups_.size());  // never grows again: the rows point into it
    for (Group& g : groups_) {
      const auto ids = [](const CodeTable& from, CodeTable& to) {
        std::vector<std::int32_t> id(from.size());
        for (std::size_t k = 0; k < id.size(); ++k) id[k] = to.intern(from.value(static_cast<int>(k)));
        return id;
      };
      const std::vector<std::int32_t> bolge = ids(g.rows.bolge_codes, sb.bolge_codes);
      const std::vector<std::int32_t> sube = ids(g.rows.sube_codes, sb.sube_codes);
      g.rows.finish();
      sb.texts.push_back(std::move(g.rows.text));
      const char* base = sb.texts.back().data();
      for (const GroupRow& r : g.rows.rows)
        sb.rows.push_back({r.sort_key, base + r.offset, r.head_size, r.tail_size,
                           r.bolge_id < 0 ? -1 : bolge[static_cast<std::size_t>(r.bolge_id)],
                           r.sube_id < 0 ? -1 : sube[static_cast<std::size_t>(r.sube_id)]});
      std::vector<GroupRow>().swap(g.rows.rows);
      std::vector<JsonSpan>().swap(g.spans);
    }
  }

  std::string_view text_;
  const MappedFile& file_;
  const RowFilter& filter_;
  const std::string& source_;
  std::vector<Group> groups_;
  std::vector<std::size_t> bounds_;  ///< group g takes the rows that begin before bounds_[g]
  std::size_t current_ = 0;          ///< the group rows are added to
  std::size_t rows_ = 0;             ///< rows added
  std::vector<std::thread> helpers_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t ready_count_ = 0;      ///< groups that have all their rows (under mutex_)
  bool stopped_ = false;             ///< (under mutex_)
  std::atomic<std::size_t> next_{0};  ///< the next group to take
  std::atomic<std::size_t> first_fault_{SIZE_MAX};
};

enum : std::size_t { kMeta, kRows, kFlowMatrix, kBandSnapshot };
constexpr std::string_view kMembers[] = {"meta", "rows", "flow_matrix", "band_snapshot"};

/// The encoder for the periods of a meta member, or none (no periods, or a
/// meta the checks after the scan will refuse).
std::optional<RowEncoder> encoder_for(std::string_view text, const JsonSpan& meta, const std::string& source) {
  try {
    Scoreboard sb;
    read_meta(sb, parse(text, meta, source));
    if (sb.has_periods) return RowEncoder(sb.donemler, sb.risk_donemler);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

void read(const std::string& source, const MappedFile& file, const RowFilter& row_filter, unsigned threads,
          Scoreboard& sb) {
  const std::string_view text(file.data(), file.size());

  // When meta comes before the rows, the rows are encoded while the scan
  // reads on. That work counts only if the meta and the rows list it was
  // done for are the ones the file ends up with (a member given twice counts
  // with its last value); otherwise the rows are encoded after the scan.
  std::optional<RowEncoder> early_encoder;  // before `early`, whose threads use it
  RowEncoding early(text, file, row_filter, source);
  std::optional<JsonSpan> early_meta;
  std::optional<std::size_t> early_list;
  bool early_void = false;
  common::JsonOutlineRequest request{.members = kMembers, .list = kRows};
  request.on_member = [&](std::size_t member, JsonSpan value) {
    if (member == kMeta) {
      if (early.started() || early_meta) early_void = true;
      early_meta = value;
    }
    if (member == kRows && early.started()) early.finish();
  };
  request.on_list = [&](std::size_t begin) {
    if (early.started() || early_list) {
      early_void = true;
      return;
    }
    early_list = begin;
    if (!early_meta || early_void) return;
    const unsigned n = early.threads_for(threads, text.size() - begin);
    if (n <= 1) return;
    early_encoder = encoder_for(text, *early_meta, source);
    if (early_encoder) early.start(*early_encoder, begin, text.size(), n);
  };
  request.on_element = [&](JsonSpan row) {
    if (early.started() && !early_void) early.add(row);
  };

  common::JsonOutline outline;
  if (auto stop = common::json_outline(text, request, outline)) {
    early.stop();
    throw_fault(text, source, *stop);
  }
  const auto fail = [&](const std::string& what) {
    early.stop();
    throw ScoreboardError(source + ": " + what);
  };
  if (outline.root == '[') fail("the scoreboard must be a JSON object, not a list");
  if (outline.root != '{') fail("the scoreboard must be a JSON object");

  // meta and rows are checked in the order they stand in the file.
  const auto& meta = outline.members[kMeta];
  const auto& rows = outline.members[kRows];
  const auto check_rows = [&] {
    const char kind = text[rows->begin];
    if (kind == '{') fail("rows must be a list");
    if (kind != '[') fail("rows must be a list, not " + std::string(common::json_kind_name(parse(text, *rows, source))));
  };
  const bool rows_first = rows && (!meta || rows->begin < meta->begin);
  if (rows_first) check_rows();
  if (!meta) fail("the scoreboard has no 'meta' member");
  std::optional<RowEncoder> encoder;
  try {
    read_meta(sb, parse(text, *meta, source));
    if (sb.has_periods) encoder.emplace(sb.donemler, sb.risk_donemler);
  } catch (const std::exception& e) {
    fail(e.what());
  }
  if (!rows) fail("the scoreboard has no 'rows' member");
  if (!rows_first) check_rows();

  if (const auto& m = outline.members[kFlowMatrix]) sb.flow_matrix = parse(text, *m, source);
  else sb.flow_matrix.SetArray();
  if (const auto& m = outline.members[kBandSnapshot]) sb.band_snapshot = parse(text, *m, source);
  else sb.band_snapshot.SetObject();

  if (!encoder) return;
  sb.layout = encoder->layout();
  if (early.started() && !early_void && early_meta == meta && early_list == rows->begin) {
    early.complete(sb);
    return;
  }
  early.stop();
  RowEncoding encoding(text, file, row_filter, source);
  encoding.start(*encoder, rows->begin, rows->end, encoding.threads_for(threads, rows->size()));
  for (const JsonSpan& row : outline.elements) encoding.add(row);
  encoding.finish();
  encoding.complete(sb);
}

}  // namespace

Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter, unsigned threads) {
  const std::string source = path.string();
  MappedFile file(path);
  Scoreboard sb;
  sb.input_bytes = file.size();
  // What was read from a file that another process cut short or rewrote
  // meanwhile is not trusted, whatever the reading made of it.
  const auto changed = [&] { return std::runtime_error(source + ": the file changed while it was being read"); };
  try {
    read(source, file, row_filter, threads, sb);
  } catch (const std::exception&) {
    if (file.changed()) throw changed();
    throw;
  }
  if (file.changed()) throw changed();
  return sb;
}

void sort_rows(std::vector<EncodedRow>& rows) {
  // Sorted as integers: the key turned so that integer order is the wanted
  // order (descending, NaN last, 0.0 and -0.0 alike), then the file order.
  const auto order_key = [](double d) -> std::uint64_t {
    if (std::isnan(d)) return UINT64_MAX;
    if (d == 0) d = 0;
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    bits = bits >> 63 ? ~bits : bits | (std::uint64_t{1} << 63);  // ascending as unsigned
    return ~bits;  // descending; never UINT64_MAX, which is NaN's
  };
  struct Key {
    std::uint64_t key;
    std::uint64_t index;
    bool operator<(const Key& o) const { return key != o.key ? key < o.key : index < o.index; }
  };
  std::vector<Key> keys(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) keys[i] = {order_key(rows[i].sort_key), i};
  std::sort(keys.begin(), keys.end());
  std::vector<EncodedRow> sorted;
  sorted.reserve(rows.size());
  for (const Key& k : keys) sorted.push_back(rows[k.index]);
  rows.swap(sorted);
}

}  // namespace kemora::pipeline::panogen
