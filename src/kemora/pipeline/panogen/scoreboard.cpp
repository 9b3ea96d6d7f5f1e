#include "kemora/pipeline/panogen/scoreboard.hpp"

#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "kemora/common/json.hpp"
#include "kemora/common/json_scan.hpp"
#include "kemora/common/limits.hpp"
#include "kemora/common/mapped_file.hpp"

namespace kemora::pipeline::panogen {
namespace {

using common::JsonSpan;
using common::MappedFile;

/// Groups are made no smaller than this many bytes of rows, unless the
/// caller asks for a number of threads.
constexpr std::size_t kMinGroupBytes = std::size_t{2} << 20;
constexpr unsigned kMaxThreads = 8;
/// A group gives back the pages of the rows it has read every this many bytes.
constexpr std::size_t kDropBytes = std::size_t{8} << 20;

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
    throw std::runtime_error(source + ": " + finder.where() + "invalid JSON at byte " +
                             std::to_string(finder.guard().fault_offset(text)) + ": " + finder.guard().fault_text());
  if (result.IsError())
    throw std::runtime_error(source + ": invalid JSON at byte " + std::to_string(result.Offset()) + ": " +
                             rapidjson::GetParseError_En(result.Code()));
  // The outline and the reader are meant to agree on every text.
  throw std::runtime_error(source + ": invalid JSON at byte " + std::to_string(outline_stop));
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

/// The rows [first, last) and what became of them.
struct Group {
  explicit Group(const RowEncoder& encoder) : rows(encoder) {}
  RowGroup rows;
  std::size_t first = 0, last = 0;
  std::optional<std::size_t> fault_row;
  std::string fault;
  std::exception_ptr failure;  ///< anything else that went wrong
};

class RowEncoding {
 public:
  RowEncoding(std::string_view text, const MappedFile& file, std::span<const JsonSpan> rows, const RowFilter& filter,
              const std::string& source)
      : text_(text), file_(file), rows_(rows), filter_(filter), source_(source) {}

  void run(const RowEncoder& encoder, unsigned threads, Scoreboard& sb) {
    std::vector<Group> groups;
    const std::size_t count = group_count(threads);
    groups.reserve(count);
    for (std::size_t g = 0; g < count; ++g) groups.emplace_back(encoder);
    share_out(groups);

    std::vector<std::thread> helpers;
    for (std::size_t g = 1; g < count; ++g) {
      try {
        helpers.emplace_back([this, &group = groups[g]] { encode(group); });
      } catch (const std::system_error&) {
        break;  // no more threads to be had: this thread does the rest
      }
    }
    encode(groups[0]);
    for (std::size_t g = helpers.size() + 1; g < count; ++g) encode(groups[g]);
    for (auto& t : helpers) t.join();
    join(groups, sb);
  }

 private:
  std::size_t group_count(unsigned threads) const {
    if (rows_.empty() || filter_) return 1;
    std::size_t n = threads;
    if (n == 0) {
      const std::size_t bytes = rows_.back().end - rows_.front().begin;
      n = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxThreads);
      n = std::min(n, std::max<std::size_t>(1, bytes / kMinGroupBytes));
    }
    return std::min(n, rows_.size());
  }

  /// Contiguous groups of about the same number of bytes.
  void share_out(std::vector<Group>& groups) const {
    const std::size_t begin = rows_.empty() ? 0 : rows_.front().begin;
    const std::size_t bytes = rows_.empty() ? 0 : rows_.back().end - begin;
    std::size_t row = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      groups[g].first = row;
      if (g + 1 == groups.size()) {
        row = rows_.size();
      } else {
        const std::size_t until = begin + bytes / groups.size() * (g + 1);
        row = static_cast<std::size_t>(std::partition_point(rows_.begin() + static_cast<std::ptrdiff_t>(row),
                                                            rows_.end(),
                                                            [&](const JsonSpan& r) { return r.begin < until; }) -
                                       rows_.begin());
      }
      groups[g].last = row;
    }
  }

  void encode(Group& group) {
    try {
      const std::size_t first = group.first, last = group.last;
      if (first == last) return;
      group.rows.text.reserve((rows_[last - 1].end - rows_[first].begin) / 2);
      group.rows.rows.reserve(last - first);
      std::size_t kept = rows_[first].begin;  // pages before this are given back
      for (std::size_t i = first; i < last; ++i) {
        // A row before this one failed: its error is the one reported.
        if (first_fault_.load(std::memory_order_relaxed) < i) return;
        if (auto fault = encode_row(group.rows, i)) {
          group.fault_row = i;
          group.fault = std::move(*fault);
          std::size_t seen = first_fault_.load();
          while (i < seen && !first_fault_.compare_exchange_weak(seen, i)) {
          }
          return;
        }
        if (rows_[i].end - kept >= kDropBytes) {
          file_.drop(kept, rows_[i].end);
          kept = rows_[i].end;
        }
      }
    } catch (...) {
      group.failure = std::current_exception();
    }
  }

  /// Encodes row `i` into `rows`; the error text when it cannot be.
  std::optional<std::string> encode_row(RowGroup& rows, std::size_t i) const {
    const JsonSpan& span = rows_[i];
    const std::string_view json = text_.substr(span.begin, span.size());
    const std::string where = "rows[" + std::to_string(i) + "]";
    if (json.empty() || json[0] != '{') return where + " is not a map";
    try {
      rows.add(json, span.begin);
    } catch (const std::exception& e) {
      return where + ": " + e.what();
    }
    if (!filter_) return std::nullopt;
    bool keep;
    try {
      keep = filter_(common::json_parse(json, source_));
    } catch (const std::exception& e) {
      return where + ": row filter failed: " + e.what();
    }
    if (!keep) {
      rows.text.resize(rows.rows.back().offset);
      rows.rows.pop_back();
    }
    return std::nullopt;
  }

  /// The groups in row order: their texts kept as they are, their codes
  /// numbered anew in the order a single pass would have met them.
  void join(std::vector<Group>& groups, Scoreboard& sb) const {
    std::size_t total = 0;
    for (const Group& g : groups) {
      if (g.failure) std::rethrow_exception(g.failure);
      if (g.fault_row) throw std::runtime_error(source_ + ": " + g.fault);
      total += g.rows.rows.size();
    }
    sb.rows.reserve(total);
    sb.texts.reserve(groups.size());  // never grows again: the rows point into it
    for (Group& g : groups) {
      const auto ids = [](const CodeTable& from, CodeTable& to) {
        std::vector<std::int32_t> id(from.size());
        for (std::size_t k = 0; k < id.size(); ++k) id[k] = to.intern(from.value(static_cast<int>(k)));
        return id;
      };
      const std::vector<std::int32_t> bolge = ids(g.rows.bolge_codes, sb.bolge_codes);
      const std::vector<std::int32_t> sube = ids(g.rows.sube_codes, sb.sube_codes);
      sb.texts.push_back(std::move(g.rows.text));
      const char* base = sb.texts.back().data();
      for (const GroupRow& r : g.rows.rows)
        sb.rows.push_back({r.sort_key, base + r.offset, r.head_size, r.tail_size,
                           r.bolge_id < 0 ? -1 : bolge[static_cast<std::size_t>(r.bolge_id)],
                           r.sube_id < 0 ? -1 : sube[static_cast<std::size_t>(r.sube_id)]});
      std::vector<GroupRow>().swap(g.rows.rows);
    }
  }

  std::string_view text_;
  const MappedFile& file_;
  std::span<const JsonSpan> rows_;
  const RowFilter& filter_;
  const std::string& source_;
  std::atomic<std::size_t> first_fault_{SIZE_MAX};
};

void read(const std::string& source, const MappedFile& file, const RowFilter& row_filter, unsigned threads,
          Scoreboard& sb) {
  const std::string_view text(file.data(), file.size());
  static constexpr std::string_view kMembers[] = {"meta", "rows", "flow_matrix", "band_snapshot"};
  enum : std::size_t { kMeta, kRows, kFlowMatrix, kBandSnapshot };
  common::JsonOutline outline;
  if (auto stop = common::json_outline(text, {.members = kMembers, .list = kRows}, outline))
    throw_fault(text, source, *stop);
  const auto fail = [&](const std::string& what) { throw std::runtime_error(source + ": " + what); };
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
  } catch (const common::JsonParseError&) {
    throw;
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
  RowEncoding(text, file, outline.elements, row_filter, source).run(*encoder, threads, sb);
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
  std::stable_sort(rows.begin(), rows.end(), [](const EncodedRow& a, const EncodedRow& b) {
    if (std::isnan(b.sort_key)) return !std::isnan(a.sort_key);
    if (std::isnan(a.sort_key)) return false;
    return a.sort_key > b.sort_key;
  });
}

}  // namespace kemora::pipeline::panogen
