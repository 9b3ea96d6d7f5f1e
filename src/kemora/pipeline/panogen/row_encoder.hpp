#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/row_encoding.hpp"

/// How the renderer writes compact row arrays as text: the positional layout,
/// the rule of each position, and the row text assembled member by member.
namespace kemora::pipeline::panogen {

Mio mio_of(double tl);

/// Appends the JSON text of `m`: null, the whole number in plain decimal
/// (exact, at any size), or the one-decimal real ("0.4", "-0.0", "1.0").
void append_mio(std::string& out, Mio m);

/// The score code of a value stored under "kmr" + period, as JSON text:
/// "-1" for the text "YI", "null" when missing or null or not convertible,
/// otherwise the integer (reals truncated toward zero, texts holding a base-10
/// integer). `v` == nullptr means the member is missing.
void append_score_code(std::string& out, const Json* v);

/// Text form of a code or period: a string unchanged, an integer in decimal, a
/// real in its shortest round-trip form ("101.0"), true/false as True/False,
/// null as None. Throws std::runtime_error for a list or a map.
std::string text_form(const Json& v);

/// Where each value of the compact row array lies, for D score periods and R
/// risk periods: six fixed positions, then the D scores ("kmr" + period), the
/// R amounts of each risk series in turn ("r", "rd", "df" + period), the
/// flags, and last the reason. The one description of the array: the encoder
/// builds its rules from it and the page receives it (page_text) to decode by.
struct RowLayout {
  static constexpr std::uint32_t kMuta = 0;
  static constexpr std::uint32_t kUnvan = 1;
  static constexpr std::uint32_t kSegment = 2;
  static constexpr std::uint32_t kSonRisk = 3;
  static constexpr std::uint32_t kBolge = 4;
  static constexpr std::uint32_t kSube = 5;
  /// Row member read into each fixed position, by position.
  static constexpr std::array<std::string_view, 6> kFixedMembers = {"muta",     "unvan",      "segment",
                                                                     "son_risk", "bolge_kodu", "sube_kodu"};
  static constexpr std::string_view kScorePrefix = "kmr";
  /// The risk series in the order of their groups.
  static constexpr std::array<std::string_view, 3> kSeriesPrefixes = {"r", "rd", "df"};
  static constexpr std::array<std::string_view, 6> kFlagMembers = {
      "_hizli_yukselen", "_rejim_degisimi", "_potansiyel_yi", "_erken_sinyal", "_yakalanan", "_kacirilan"};
  static constexpr std::string_view kNedenMember = "_kmr_neden";

  std::uint32_t periods = 0;       ///< D
  std::uint32_t risk_periods = 0;  ///< R

  /// Score of period `j` (0 <= j <= D; D gives the end of the scores).
  constexpr std::uint32_t score(std::uint32_t j) const { return std::uint32_t{kFixedMembers.size()} + j; }
  /// Amount of risk period `k` in series group `g`.
  constexpr std::uint32_t series(std::uint32_t g, std::uint32_t k = 0) const {
    return score(periods) + g * risk_periods + k;
  }
  constexpr std::uint32_t flag(std::uint32_t f) const {
    return series(std::uint32_t{kSeriesPrefixes.size()}) + f;
  }
  constexpr std::uint32_t neden() const { return flag(std::uint32_t{kFlagMembers.size()}); }
  /// Number of positions: 13 + D + 3R.
  constexpr std::uint32_t width() const { return neden() + 1; }

  /// The layout as the page reads it, a JSON object text: every fixed member,
  /// flag member and the reason member by name with its position, and the
  /// score and series prefixes with the position of their first period.
  std::string page_text() const;
};

/// The positional layout of the compact row array for one pair of period
/// lists, and the encoding of each position. Built once per render and shared
/// by every row.
class RowEncoder {
 public:
  /// What a position holds and how its value is encoded.
  enum class Rule : std::uint8_t {
    Muta,      ///< value unchanged; null when missing
    Unvan,     ///< first 40 characters; "" when missing, null or empty
    Segment,   ///< SEG_MAP index or -1
    SonRisk,   ///< _mio; a missing member gives 0.0
    Bolge,     ///< BOLGE_MAP index or -1
    Sube,      ///< SUBE_MAP index or -1
    Score,     ///< score code
    Amount,    ///< _mio; a missing member gives null
    Flag,      ///< value unchanged; 0 when missing
    Neden,     ///< value unchanged; "" when missing
  };
  struct Slot {
    std::uint32_t position;
    Rule rule;
  };

  static constexpr std::uint32_t kBolgePosition = RowLayout::kBolge;
  static constexpr std::uint32_t kSubePosition = RowLayout::kSube;
  // The two code positions are resolved late and written together.
  static_assert(kSubePosition == kBolgePosition + 1);

  /// `donemler` and `risk_donemler` must be arrays; their elements are put
  /// into member names by text form. Throws std::runtime_error otherwise.
  RowEncoder(const Json& donemler, const Json& risk_donemler);

  const RowLayout& layout() const { return layout_; }
  /// Number of positions: 13 + D + 3R.
  std::size_t width() const { return rules_.size(); }
  Rule rule(std::uint32_t position) const { return rules_[position]; }

  /// The positions that the row member `name` feeds (empty when the member is
  /// not read). A name can feed several positions when periods repeat.
  std::span<const Slot> slots_for(std::string_view name) const;

  /// Appends the JSON text of position `rule` for the stored value `v`
  /// (never for the code positions). Strings are written with <, >, &
  /// escaped. Throws std::runtime_error for a value the position cannot hold.
  void encode_value(Rule rule, const Json& v, std::string& out) const;
  /// encode_value for a value of a known kind, without building a Json value:
  /// an integer, a real, a text. encode_value hands these kinds on to them.
  void encode_int(Rule rule, std::int64_t i, std::string& out) const;
  void encode_double(Rule rule, double d, std::string& out) const;
  void encode_string(Rule rule, std::string_view s, std::string& out) const;

  /// JSON text of a position whose member is missing.
  static std::string_view missing_text(Rule rule);

 private:
  /// Makes `position` hold member `name` under `rule`.
  void put(std::uint32_t position, std::string name, Rule rule);

  /// Finds names without making a string of them.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };

  RowLayout layout_;
  std::vector<Rule> rules_;
  std::unordered_map<std::string, std::vector<Slot>, NameHash, std::equal_to<>> by_name_;
};

/// Where the text of one encoded row lies in the string it was written to:
/// "[p0,p1,p2,p3," (the head, before the region position) at `offset`,
/// followed by ",p6,...]" (the tail, after the branch position).
struct RowSpan {
  std::size_t offset;
  std::uint32_t head_size;
  std::uint32_t tail_size;
};

/// Collects the encoded positions of one row, as its members are met in
/// any order, and joins them into its array text. Reused from row to row to
/// avoid allocations.
class RowText {
 public:
  explicit RowText(const RowEncoder& encoder);

  /// Starts a new row: every position missing.
  void clear();
  /// Encodes a value into one position, replacing what it held (see
  /// RowEncoder::encode_value). Must not be called for the two code
  /// positions, which the caller resolves itself.
  void set(RowEncoder::Slot slot, const Json& v);
  void set_int(RowEncoder::Slot slot, std::int64_t i);
  void set_double(RowEncoder::Slot slot, double d);
  void set_string(RowEncoder::Slot slot, std::string_view s);

  /// Appends the row's array text without the two code positions to `out`
  /// and says where it lies.
  RowSpan append_to(std::string& out) const;
  /// The most bytes write_at may touch.
  std::size_t max_size() const;
  /// Writes that text at `out + offset`, where max_size() bytes are to be
  /// had, and says where it lies.
  RowSpan write_at(char* out, std::size_t offset) const;

 private:
  /// Appends the text `encode` gives `value` at position `slot` to buffer_
  /// and records that the position holds it.
  template <typename Arg, typename Value>
  void put(RowEncoder::Slot slot, void (RowEncoder::*encode)(RowEncoder::Rule, Arg, std::string&) const,
           const Value& value);
  static constexpr std::uint32_t kMissing = UINT32_MAX;

  const RowEncoder& encoder_;
  std::string buffer_;                          // encoded texts, in the order they were set
  std::vector<std::uint32_t> offset_, length_;  // per position; length kMissing = missing
};

/// One row encoded by a RowGroup: its array text without the two code
/// positions, its ordering key and its code ids.
struct GroupRow {
  double sort_key;         ///< son_risk as the ordering reads it
  std::uint64_t offset;    ///< where the head starts in RowGroup::text
  std::uint32_t head_size;
  std::uint32_t tail_size;
  std::int32_t bolge_id;   ///< id in RowGroup::bolge_codes, -1 for none
  std::int32_t sube_id;    ///< id in RowGroup::sube_codes, -1 for none
};

/// Encodes whole rows from the JSON text of their maps: what each member
/// means for the compact row, the ordering key and the region and branch
/// codes. The rows go into one text, their codes into tables of the group's
/// own, numbered in order of first appearance within the group.
class RowGroup {
 public:
  explicit RowGroup(const RowEncoder& encoder);

  /// Encodes the row map `json`, a text that json_outline accepted, lying at
  /// byte `offset` of the input. Throws std::runtime_error for a value the
  /// row encoding cannot take (the row is not added then, though codes met
  /// before the fault may stay in the tables).
  void add(std::string_view json, std::size_t offset);
  /// Cuts `text` to the rows' texts; call once all rows are added.
  void finish();

  /// The rows' texts (with room past them until finish()).
  std::string text;
  std::vector<GroupRow> rows;
  CodeTable bolge_codes;
  CodeTable sube_codes;

 private:
  std::span<const RowEncoder::Slot> slots_for(std::size_t member, std::string_view name);
  void put(std::span<const RowEncoder::Slot> slots, const Json& v);
  void put_number(std::span<const RowEncoder::Slot> slots, const common::JsonNumber& n);
  void put_string(std::span<const RowEncoder::Slot> slots, std::string_view s);

  const RowEncoder* encoder_;
  RowText row_;
  double sort_key_ = 0;
  std::int32_t bolge_id_ = -1, sube_id_ = -1;
  std::size_t used_ = 0;  ///< bytes of `text` the rows take
  /// The name and positions of the member met at each place of the last
  /// rows: rows of one file mostly list their members in one order.
  std::vector<std::pair<std::string, std::span<const RowEncoder::Slot>>> names_;
};

}  // namespace kemora::pipeline::panogen
