#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kemora/common/json.hpp"
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

/// Key under which a region or branch code is compared: the type and the text
/// form together, so the text "101", the integer 101 and the real 101.0 are
/// three different codes. Null (no code) gives std::nullopt. Throws
/// std::runtime_error for a list or a map, which cannot be a code.
std::optional<std::string> code_key(const Json& v);

/// Text form of a code or period: a string unchanged, an integer in decimal, a
/// real in its shortest round-trip form ("101.0"), true/false as True/False,
/// null as None. Throws std::runtime_error for a list or a map.
std::string text_form(const Json& v);

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

  static constexpr std::uint32_t kBolgePosition = 4;
  static constexpr std::uint32_t kSubePosition = 5;

  /// `donemler` and `risk_donemler` must be arrays; their elements are put
  /// into member names by text form. Throws std::runtime_error otherwise.
  RowEncoder(const Json& donemler, const Json& risk_donemler);

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
  std::vector<Rule> rules_;
  std::unordered_map<std::string, std::vector<Slot>> by_name_;
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

}  // namespace kemora::pipeline::panogen
