#include "kemora/pipeline/panogen/scoreboard.hpp"

#include "kemora/common/limits.hpp"
#include "kemora/common/mapped_file.hpp"
#include "kemora/common/text.hpp"
#include "kemora/common/json.hpp"

#include <fcntl.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kemora::pipeline::panogen {
namespace {

// Numbers come as text and are converted by common::json_number, as every
// JSON reading of ours converts them.
constexpr unsigned kParseFlags =
    rapidjson::kParseNanAndInfFlag | rapidjson::kParseNumbersAsStringsFlag;

using common::MappedFile;

/// The ordering key of a row: son_risk, or 0 when missing, null, 0 or false.
double sort_key_of(const Json& v) {
  if (!common::json_truthy(v)) return 0;
  if (v.IsNumber() || v.IsBool()) return common::json_as_double(v);
  throw std::runtime_error(std::string("son_risk must be a number, not ") + common::json_kind_name(v));
}

/// Inline comparison for the short member names of rows: two overlapping
/// word loads cover names of 4 to 16 bytes.
inline bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n >= 8 && n <= 16) {
    std::uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    std::uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    std::memcpy(&a1, a + n - 4, 4);
    std::memcpy(&b1, b + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n > 16) return std::memcmp(a, b, n) == 0;
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

struct Range {
  std::size_t begin = 0, end = 0;
  bool seen = false;
};

inline std::size_t skip_space(const char* data, std::size_t size, std::size_t p) {
  while (p < size && (data[p] == ' ' || data[p] == '\n' || data[p] == '\r' || data[p] == '\t')) ++p;
  return p;
}

/// The first offset from `from` on that looks like the start of a row after
/// another one: a '{' after '}' and ',' with only blanks between them. Only a
/// guess: the bytes may as well lie inside a text or a nested value.
std::optional<std::size_t> find_row_start(const char* data, std::size_t size, std::size_t from) {
  for (std::size_t p = from; p < size;) {
    const void* hit = std::memchr(data + p, '}', size - p);
    if (!hit) break;
    p = static_cast<std::size_t>(static_cast<const char*>(hit) - data) + 1;
    std::size_t q = skip_space(data, size, p);
    if (q < size && data[q] == ',') {
      q = skip_space(data, size, q + 1);
      if (q < size && data[q] == '{') return q;
    }
  }
  return std::nullopt;
}

/// The rows of the list from `start` to its end, read and encoded on a
/// helper thread while the main reading deals with the rows before `start`.
/// The helper reads one row after another and stops at the first thing that
/// is not a row object followed by ',' or by the ']' that ends the list; its
/// rows count only when the main reading meets a row beginning exactly at
/// `start` and the helper reached the end of the list (see
/// ScanHandler::take_ahead).
class RowsAhead {
 public:
  RowsAhead(const char* data, std::size_t size, std::size_t start, const RowEncoder& encoder,
            const std::string& source)
      : data_(data), size_(size), start_(start), encoder_(encoder), source_(source) {
    thread_ = std::thread([this] { run(); });
  }
  ~RowsAhead() { stop(); }
  RowsAhead(const RowsAhead&) = delete;
  RowsAhead& operator=(const RowsAhead&) = delete;

  std::size_t start() const { return start_; }
  /// Waits for the helper; true when it read every row up to the end of the list.
  bool finish() {
    if (thread_.joinable()) thread_.join();
    return complete_;
  }
  /// Asks the helper to give up, and waits for it.
  void stop() {
    cancel_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }

  // --- results, once finish() gave true --------------------------------------
  Scoreboard part;                ///< rows, encoded text and codes of the rows read
  std::vector<Range> ranges;      ///< their byte ranges
  std::size_t last_close = 0;     ///< offset of the '}' that closes the last row

 private:
  void run();

  const char* data_;
  std::size_t size_;
  std::size_t start_;
  const RowEncoder& encoder_;
  const std::string& source_;
  const RowFilter no_filter_;
  std::atomic<bool> cancel_{false};
  bool complete_ = false;
  std::thread thread_;  // last: started once everything else is set
};

/// SAX handler over the whole scoreboard (or over one row, for a second
/// reading of rows met before `meta`). Depth counts the open containers: the
/// root object is depth 1, the rows list depth 2, a row depth 3.
class ScanHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ScanHandler> {
 public:
  ScanHandler(const char* data, std::size_t size, Scoreboard& sb, const RowFilter& filter,
              const std::string& source)
      : data_(data), size_(size), sb_(sb), filter_(filter), source_(source) {}

  // --- set-up --------------------------------------------------------------
  void set_stream(rapidjson::MemoryStream* stream, std::size_t base) {
    stream_ = stream;
    base_ = base;
  }
  /// Prepares the reading of one row on its own (the row list already open).
  void start_single_row(std::size_t index) {
    depth_ = 2;
    in_rows_ = true;
    row_index_ = index;
    record_ranges_ = false;
  }
  /// Rows from ahead->start() on may come from `ahead` (nullptr: none).
  void set_ahead(RowsAhead* ahead) { ahead_ = ahead; }
  void set_encoder(const RowEncoder* encoder) {
    encoder_ = encoder;
    text_ = encoder ? std::make_unique<RowText>(*encoder) : nullptr;
    name_cache_.clear();
  }

  /// Called when the `meta` member has been read (its range is known).
  std::function<void()> on_meta;
  /// Called when a `rows` member begins; returns the meta generation that the
  /// rows will be encoded with.
  std::function<int()> on_rows;
  int rows_generation = -1;

  // --- results -------------------------------------------------------------
  Range meta, rows, flow_matrix, band_snapshot;
  std::vector<Range> row_ranges;         ///< every element of rows, in order
  std::optional<std::size_t> bad_row;   ///< first element of rows that is not an object
  std::string error;                     ///< set when a handler call stopped the parse
  bool took_ahead = false;               ///< rows came from a RowsAhead

  // --- events --------------------------------------------------------------
  // Integers, reals and texts inside a row, the bulk of the file, are encoded
  // from the event's own value; everything else goes through a Json value.
  bool Null() { return scalar(Json()); }
  bool Bool(bool b) { return scalar(Json(b)); }
  bool Int(int i) { return integer(i); }
  bool Uint(unsigned u) { return integer(u); }
  bool Int64(std::int64_t i) { return integer(i); }
  bool Uint64(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) return integer(static_cast<std::int64_t>(u));
    return scalar(Json(u));
  }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    const common::JsonNumber v = common::json_number(std::string_view(s, n));
    switch (v.kind) {
      case common::JsonNumber::Kind::Int64: return integer(v.i);
      case common::JsonNumber::Kind::Uint64: return Uint64(v.u);
      case common::JsonNumber::Kind::Double: break;
    }
    return Double(v.d);
  }
  bool Double(double d) {
    if (!in_row_member()) return scalar(Json(d));
    for (const auto& slot : slots_) {
      if (slot.rule == RowEncoder::Rule::Bolge || slot.rule == RowEncoder::Rule::Sube) return scalar(Json(d));
    }
    try {
      for (const auto& slot : slots_) {
        if (slot.rule == RowEncoder::Rule::SonRisk) sort_key_ = d;
        text_->set_double(slot, d);
      }
    } catch (const std::exception& e) {
      return fail(row_error(e.what()));
    }
    return true;
  }
  bool String(const char* s, rapidjson::SizeType n, bool) {
    if (!guard_.string(s, n, pos())) return fail_guard();
    if (!in_row_member()) return scalar(Json(rapidjson::StringRef(s, n)));
    for (const auto& slot : slots_) {
      if (slot.rule == RowEncoder::Rule::SonRisk || slot.rule == RowEncoder::Rule::Bolge ||
          slot.rule == RowEncoder::Rule::Sube)
        return scalar(Json(rapidjson::StringRef(s, n)));
    }
    try {
      for (const auto& slot : slots_) text_->set_string(slot, std::string_view(s, n));
    } catch (const std::exception& e) {
      return fail(row_error(e.what()));
    }
    return true;
  }

  bool Key(const char* s, rapidjson::SizeType n, bool) {
    if (!guard_.string(s, n, pos())) return fail_guard();
    std::string_view name(s, n);
    if (depth_ == 1) {
      top_ = name == "meta" ? &meta
           : name == "rows" ? &rows
           : name == "flow_matrix" ? &flow_matrix
           : name == "band_snapshot" ? &band_snapshot
           : nullptr;
      if (top_) {
        *top_ = {value_start(), 0, true};
        if (top_ == &rows) {
          row_ranges.clear();
          bad_row.reset();
          rows_generation = on_rows();
        }
      }
    } else if (depth_ == 3 && in_row_) {
      slots_ = encoder_ ? slots_for(name) : std::span<const RowEncoder::Slot>();
    }
    return true;
  }

  bool StartObject() { return open(true); }
  bool StartArray() { return open(false); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool EndArray(rapidjson::SizeType) { return close(); }

 private:
  std::size_t pos() const { return base_ + stream_->Tell(); }

  /// A scalar event is the value of a row member that the encoding reads.
  bool in_row_member() const { return depth_ == 3 && in_row_ && !slots_.empty(); }

  bool integer(std::int64_t i) {
    if (!in_row_member()) return scalar(Json(i));
    try {
      for (const auto& slot : slots_) {
        switch (slot.rule) {
          case RowEncoder::Rule::Bolge: bolge_id_ = sb_.bolge_codes.intern(Json(i)); break;
          case RowEncoder::Rule::Sube: sube_id_ = sb_.sube_codes.intern(Json(i)); break;
          case RowEncoder::Rule::SonRisk:
            sort_key_ = static_cast<double>(i);
            text_->set_int(slot, i);
            break;
          default: text_->set_int(slot, i);
        }
      }
    } catch (const std::exception& e) {
      return fail(row_error(e.what()));
    }
    return true;
  }

  /// Where the value of the member whose name was just read begins.
  std::size_t value_start() const {
    std::size_t p = skip_space(data_, size_, pos());
    if (p < size_) ++p;  // ':' (the parser reports what else stands there)
    return skip_space(data_, size_, p);
  }

  std::span<const RowEncoder::Slot> slots_for(std::string_view name) {
    // Rows usually repeat the same members in the same order: remember the
    // slots of the name met at each member position.
    if (member_ < name_cache_.size()) {
      const std::string& cached = name_cache_[member_].first;
      if (cached.size() == name.size() && same_bytes(cached.data(), name.data(), name.size()))
        return name_cache_[member_++].second;
    }
    auto slots = encoder_->slots_for(name);
    if (member_ < 256) {
      if (member_ >= name_cache_.size()) name_cache_.resize(member_ + 1);
      name_cache_[member_] = {std::string(name), slots};
    }
    ++member_;
    return slots;
  }

  bool fail(const std::string& message) {
    error = message;
    return false;
  }

  /// The text of a nesting or text fault, with its byte offset and, inside
  /// the rows list, the row.
  bool fail_guard() {
    const std::size_t at = guard_.fault_offset(std::string_view(data_, size_));
    std::string where = "invalid JSON at byte " + std::to_string(at) + ": " + guard_.fault_text();
    return fail(in_rows_ && depth_ >= 2 ? row_error(where) : where);
  }

  bool open(bool object) {
    // Depth counts from the root here also when one row is read on its own.
    if (depth_ >= static_cast<unsigned>(common::kMaxNesting)) {
      guard_.too_deep(pos() - 1);
      return fail_guard();
    }
    if (depth_ == 0 && !object) return fail("the scoreboard must be a JSON object, not a list");
    if (depth_ == 1 && top_ == &rows) {
      if (!object && !in_rows_) {
        in_rows_ = true;
        row_index_ = 0;
      } else {
        return fail("rows must be a list");
      }
    } else if (depth_ == 2 && in_rows_) {
      if (object) begin_row();
      else note_bad_row();
    } else if (depth_ == 3 && in_row_ && !slots_.empty()) {
      nested_begin_ = pos() - 1;
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 2 && skipped_row_) {
      // The end of the helper's last row (see take_ahead).
      skipped_row_ = false;
      in_row_ = false;
      return true;
    }
    if (depth_ == 3 && in_row_ && !slots_.empty()) {
      // A list or map as a member value: read it on its own and encode it.
      try {
        JsonDoc doc = common::json_parse(std::string_view(data_ + nested_begin_, pos() - nested_begin_), source_);
        apply(doc);
      } catch (const std::exception& e) {
        return fail(row_error(e.what()));
      }
    } else if (depth_ == 2 && in_row_) {
      return end_row();
    } else if (depth_ == 2 && in_rows_ && !in_row_) {
      row_ranges.push_back({row_begin_, pos(), true});  // a list element of rows
      ++row_index_;
    } else if (depth_ == 1 && in_rows_ && top_ == &rows) {
      in_rows_ = false;
      if (ahead_) {
        ahead_->stop();  // its first row was no row of this list
        ahead_ = nullptr;
      }
    }
    if (depth_ == 1 && top_) return member_done();
    return true;
  }

  bool member_done() {
    top_->end = pos();
    if (top_ == &meta) {
      try {
        on_meta();
      } catch (const std::exception& e) {
        return fail(e.what());
      }
    }
    top_ = nullptr;
    return true;
  }

  bool scalar(const Json& v) {
    if (depth_ == 3 && in_row_) {
      if (slots_.empty()) return true;
      try {
        apply(v);
      } catch (const std::exception& e) {
        return fail(row_error(e.what()));
      }
    } else if (depth_ == 2 && in_rows_) {
      note_bad_row();
      row_ranges.push_back({pos(), pos(), true});
      ++row_index_;
    } else if (depth_ == 1 && top_) {
      if (top_ == &rows) return fail("rows must be a list, not " + std::string(common::json_kind_name(v)));
      return member_done();
    } else if (depth_ == 0) {
      return fail("the scoreboard must be a JSON object");
    }
    return true;
  }

  void note_bad_row() {
    if (!bad_row) bad_row = row_index_;
    row_begin_ = pos() - 1;
  }

  void begin_row() {
    in_row_ = true;
    row_begin_ = pos() - 1;
    member_ = 0;
    slots_ = {};
    bolge_id_ = sube_id_ = -1;
    sort_key_ = 0;
    if (text_) text_->clear();
    if (ahead_ && row_begin_ >= ahead_->start()) {
      if (row_begin_ == ahead_->start() && ahead_->finish()) take_ahead();
      else ahead_->stop();
      ahead_ = nullptr;
    }
  }

  /// The row just begun starts where the helper began, and the helper read
  /// every row from there to the end of the list: its rows are taken as they
  /// are, its codes numbered after the ones met so far (in the order the
  /// helper met them, which is file order), and the reading goes on at the
  /// '}' closing the helper's last row, so that the parser itself closes the
  /// row it just opened and then the list.
  void take_ahead() {
    Scoreboard& part = ahead_->part;
    std::vector<std::int32_t> bolge(part.bolge_codes.size()), sube(part.sube_codes.size());
    for (std::size_t i = 0; i < bolge.size(); ++i)
      bolge[i] = sb_.bolge_codes.intern(part.bolge_codes.value(static_cast<int>(i)));
    for (std::size_t i = 0; i < sube.size(); ++i)
      sube[i] = sb_.sube_codes.intern(part.sube_codes.value(static_cast<int>(i)));
    const std::uint64_t shift = sb_.encoded.size();
    sb_.encoded += part.encoded;
    std::string().swap(part.encoded);
    sb_.rows.reserve(sb_.rows.size() + part.rows.size());
    for (EncodedRow row : part.rows) {
      row.offset += shift;
      if (row.bolge_id >= 0) row.bolge_id = bolge[static_cast<std::size_t>(row.bolge_id)];
      if (row.sube_id >= 0) row.sube_id = sube[static_cast<std::size_t>(row.sube_id)];
      sb_.rows.push_back(row);
    }
    std::vector<EncodedRow>().swap(part.rows);
    if (record_ranges_) row_ranges.insert(row_ranges.end(), ahead_->ranges.begin(), ahead_->ranges.end());
    row_index_ += ahead_->ranges.size();
    skipped_row_ = true;
    stream_->src_ = stream_->begin_ + (ahead_->last_close - base_);
    took_ahead = true;
  }

  void apply(const Json& v) {
    for (const auto& slot : slots_) {
      switch (slot.rule) {
        case RowEncoder::Rule::Bolge: bolge_id_ = sb_.bolge_codes.intern(v); break;
        case RowEncoder::Rule::Sube: sube_id_ = sb_.sube_codes.intern(v); break;
        case RowEncoder::Rule::SonRisk:
          sort_key_ = sort_key_of(v);
          text_->set(slot, v);
          break;
        default: text_->set(slot, v);
      }
    }
  }

  std::string row_error(const std::string& what) const {
    return "rows[" + std::to_string(row_index_) + "]: " + what;
  }

  bool end_row() {
    in_row_ = false;
    slots_ = {};
    std::size_t index = row_index_++;
    if (record_ranges_) row_ranges.push_back({row_begin_, pos(), true});
    if (!encoder_) return true;
    if (filter_) {
      bool keep;
      try {
        JsonDoc row = common::json_parse(std::string_view(data_ + row_begin_, pos() - row_begin_), source_);
        keep = filter_(row);
      } catch (const std::exception& e) {
        return fail("rows[" + std::to_string(index) + "]: row filter failed: " + e.what());
      }
      if (!keep) return true;
    }
    const RowSpan span = text_->append_to(sb_.encoded);
    EncodedRow row{};
    row.sort_key = sort_key_;
    row.offset = span.offset;
    row.head_size = span.head_size;
    row.tail_size = span.tail_size;
    row.bolge_id = bolge_id_;
    row.sube_id = sube_id_;
    sb_.rows.push_back(row);
    return true;
  }

  const char* data_;
  std::size_t size_;
  Scoreboard& sb_;
  const RowFilter& filter_;
  const std::string& source_;
  rapidjson::MemoryStream* stream_ = nullptr;
  std::size_t base_ = 0;
  const RowEncoder* encoder_ = nullptr;
  std::unique_ptr<RowText> text_;

  unsigned depth_ = 0;
  common::JsonGuard guard_;
  Range* top_ = nullptr;
  bool in_rows_ = false;
  bool in_row_ = false;
  bool record_ranges_ = true;
  bool skipped_row_ = false;
  RowsAhead* ahead_ = nullptr;
  std::size_t row_index_ = 0;
  std::size_t row_begin_ = 0;
  std::size_t nested_begin_ = 0;
  std::size_t member_ = 0;
  std::span<const RowEncoder::Slot> slots_;
  std::vector<std::pair<std::string, std::span<const RowEncoder::Slot>>> name_cache_;
  std::int32_t bolge_id_ = -1, sube_id_ = -1;
  double sort_key_ = 0;
};

/// Parses data[begin, end) with `handler`; throws naming `source` and the
/// absolute byte offset.
void parse_range(const char* data, std::size_t begin, std::size_t end, ScanHandler& handler,
                 const std::string& source) {
  rapidjson::MemoryStream stream(data + begin, end - begin);
  handler.set_stream(&stream, begin);
  rapidjson::Reader reader;
  rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, handler);
  if (!result) {
    if (result.Code() == rapidjson::kParseErrorTermination && !handler.error.empty())
      throw std::runtime_error(source + ": " + handler.error);
    throw std::runtime_error(source + ": invalid JSON at byte " + std::to_string(begin + result.Offset()) + ": " +
                             rapidjson::GetParseError_En(result.Code()));
  }
}

void RowsAhead::run() {
  try {
    ScanHandler handler(data_, size_, part, no_filter_, source_);
    handler.set_encoder(&encoder_);
    part.encoded.reserve((size_ - start_) / 2);
    rapidjson::Reader reader;
    std::size_t p = start_;
    for (std::size_t index = 0;; ++index) {
      if (cancel_.load(std::memory_order_relaxed)) return;
      if (p >= size_ || data_[p] != '{') return;
      rapidjson::MemoryStream stream(data_ + p, size_ - p);
      handler.set_stream(&stream, p);
      handler.start_single_row(index);
      if (!reader.Parse<kParseFlags | rapidjson::kParseStopWhenDoneFlag>(stream, handler)) return;
      const std::size_t end = p + stream.Tell();
      ranges.push_back({p, end, true});
      last_close = end - 1;
      const std::size_t q = skip_space(data_, size_, end);
      if (q < size_ && data_[q] == ']') {
        complete_ = true;
        return;
      }
      if (q >= size_ || data_[q] != ',') return;
      p = skip_space(data_, size_, q + 1);
    }
  } catch (...) {
    // Whatever went wrong, the main reading meets it again and reports it.
  }
}

JsonDoc parse_member(const char* data, const Range& r, const std::string& source) {
  return common::json_parse(std::string_view(data + r.begin, r.end - r.begin), source);
}

}  // namespace

Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter) {
  return read_scoreboard(path, row_filter, ScoreboardReadOptions{});
}

Scoreboard read_scoreboard(const std::filesystem::path& path, const RowFilter& row_filter,
                           const ScoreboardReadOptions& options) {
  if (options.split_used) *options.split_used = false;
  const std::string source = path.string();
  MappedFile file(path);
  Scoreboard sb;
  sb.input_bytes = file.size();
  ScanHandler handler(file.data(), file.size(), sb, row_filter, source);

  // `meta` is read as soon as it closes, so that the rows after it are
  // encoded while they are read. Rows met before the (last) meta member are
  // read a second time from their byte ranges.
  std::optional<RowEncoder> encoder;
  int meta_generation = 0;
  // Declared after what the helper reads, so that it is stopped before those
  // go, whichever way this function is left.
  std::optional<RowsAhead> ahead;
  bool split_tried = false;
  handler.on_meta = [&] {
    sb.meta = parse_member(file.data(), handler.meta, source);
    if (!sb.meta.IsObject())
      throw std::runtime_error("meta must be a map, not " + std::string(common::json_kind_name(sb.meta)));
    auto d = sb.meta.FindMember("donemler");
    if (d != sb.meta.MemberEnd()) sb.donemler.CopyFrom(d->value, sb.donemler.GetAllocator());
    else sb.donemler.SetArray();
    auto r = sb.meta.FindMember("risk_donemler");
    sb.risk_donemler.CopyFrom(r != sb.meta.MemberEnd() ? r->value : static_cast<const Json&>(sb.donemler),
                              sb.risk_donemler.GetAllocator());
    ++meta_generation;
    // A later meta comes after the rows list closed, and the helper with it;
    // it is stopped here all the same, before its encoder goes.
    handler.set_ahead(nullptr);
    if (ahead) ahead->stop();
    handler.set_encoder(nullptr);
    encoder.reset();
    // A period list that is empty (or null, false, 0, "") means: nothing to render.
    const Json& d0 = sb.donemler;
    sb.has_periods = common::json_truthy(d0);
    if (sb.has_periods) {
      encoder.emplace(sb.donemler, sb.risk_donemler);
      sb.layout = encoder->layout();
      handler.set_encoder(&*encoder);
    }
  };
  handler.on_rows = [&] {
    sb.rows.clear();
    sb.encoded.clear();
    // Room for the encoded rows, which take a fraction of the input: address
    // space only until written, and no copying while the text grows.
    sb.encoded.reserve(file.size() / 2);
    sb.bolge_codes = CodeTable();
    sb.sube_codes = CodeTable();
    // Rows to encode in a large file, with meta read: share them out.
    if (encoder && !row_filter && !split_tried && file.size() >= options.split_min_bytes) {
      split_tried = true;
      const std::size_t rows_begin = handler.rows.begin;
      const std::size_t from = options.split_search_from.value_or(rows_begin + (file.size() - rows_begin) / 2);
      if (auto start = find_row_start(file.data(), file.size(), from)) {
        try {
          ahead.emplace(file.data(), file.size(), *start, *encoder, source);
          handler.set_ahead(&*ahead);
        } catch (const std::system_error&) {
          ahead.reset();  // no thread to be had: one is enough
        }
      }
    }
    return meta_generation;
  };

  // What was read from a file that another process cut short or rewrote
  // meanwhile is not trusted, whatever the reading made of it.
  const auto changed_error = [&] {
    return std::runtime_error(source + ": the file changed while it was being read");
  };
  try {
    parse_range(file.data(), 0, file.size(), handler, source);
    handler.set_ahead(nullptr);
    ahead.reset();
    if (options.split_used) *options.split_used = handler.took_ahead;
    if (!handler.meta.seen) throw std::runtime_error(source + ": the scoreboard has no 'meta' member");
    if (!handler.rows.seen) throw std::runtime_error(source + ": the scoreboard has no 'rows' member");

    if (encoder) {
      if (handler.bad_row)
        throw std::runtime_error(source + ": rows[" + std::to_string(*handler.bad_row) + "] is not a map");
      if (handler.rows_generation != meta_generation) {
        split_tried = true;  // these rows are read one by one, on this thread
        handler.on_rows();
        for (std::size_t i = 0; i < handler.row_ranges.size(); ++i) {
          handler.start_single_row(i);
          const Range& r = handler.row_ranges[i];
          parse_range(file.data(), r.begin, r.end, handler, source);
        }
      }
    }

    if (handler.flow_matrix.seen) sb.flow_matrix = parse_member(file.data(), handler.flow_matrix, source);
    else sb.flow_matrix.SetArray();
    if (handler.band_snapshot.seen) sb.band_snapshot = parse_member(file.data(), handler.band_snapshot, source);
    else sb.band_snapshot.SetObject();
  } catch (const std::exception&) {
    handler.set_ahead(nullptr);
    ahead.reset();
    if (file.changed()) throw changed_error();
    throw;
  }
  if (file.changed()) throw changed_error();
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
