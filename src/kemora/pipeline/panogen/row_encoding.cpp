#include "kemora/pipeline/panogen/row_encoder.hpp"

#include <array>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "kemora/common/json_scan.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/pipeline/panogen/constants.hpp"
#include "kemora/common/json.hpp"

namespace kemora::pipeline::panogen {
namespace {

constexpr std::size_t kUnvanLength = 40;

using common::json_kind_name;

/// Rounds to the nearest integer, ties to even (the default rounding of the
/// floating-point unit, without a library call).
double round_half_even(double x) {
  constexpr double kTwo52 = 4503599627370496.0;  // from here on every double is whole
  double a = std::fabs(x);
  if (!(a < kTwo52)) return x;
  return std::copysign((a + kTwo52) - kTwo52, x);
}

using common::append_int;

/// Appends an integer-valued finite double as its exact decimal integer.
void append_whole(std::string& out, double r) {
  if (r == 0) {
    out += '0';
  } else if (std::fabs(r) < 9.2e18) {
    append_int(out, static_cast<std::int64_t>(r));
  } else {
    char buf[400];  // glibc prints the exact value of the double
    int n = std::snprintf(buf, sizeof buf, "%.0f", r);
    out.append(buf, static_cast<std::size_t>(n));
  }
}

/// Amounts and score codes written as texts read as Python's float() and
/// int() read them, with ASCII blanks around.
std::optional<double> parse_real_text(std::string_view s) {
  return common::parse_py_float(s, common::NumberBlanks::Ascii);
}

/// Bytes that the JSON text of a string cannot carry as they are (quote,
/// backslash, control characters) or that the page must not see raw (<, >, &).
constexpr auto kSpecialBytes = [] {
  std::array<bool, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = true;
  for (unsigned char c : {'"', '\\', '<', '>', '&'}) t[c] = true;
  return t;
}();

void write_html_safe(std::string& out, const Json& v) {
  common::json_write(out, v, {.style = common::JsonStyle::Compact, .html_safe = true});
}

/// The html-safe JSON text of a string; texts without special bytes are
/// copied as they are, the others go through the common writer.
void write_html_safe(std::string& out, std::string_view s) {
  for (char c : s) {
    if (kSpecialBytes[static_cast<unsigned char>(c)]) {
      write_html_safe(out, Json(rapidjson::StringRef(s.data(), s.size())));
      return;
    }
  }
  out += '"';
  out.append(s);
  out += '"';
}


}  // namespace

Mio mio_of(double tl) {
  if (!std::isfinite(tl)) return {};
  double m = tl / 1'000'000.0;
  if (std::fabs(m) >= 1) return {Mio::Kind::Integer, round_half_even(m)};
  double t = m * 10;
  double k;
  if (std::fabs(t - std::floor(t) - 0.5) > 1e-9) {
    k = round_half_even(t);  // far from a tie: the product's rounding cannot matter
  } else {
    k = round_half_even(common::round_decimal(m, 1) * 10);  // exact decimal rounding
  }
  double value = k == 0 ? std::copysign(0.0, m) : k / 10;
  return {Mio::Kind::Real, value};
}

Mio _mio(const Json& v) {
  if (v.IsNumber() || v.IsBool()) return mio_of(common::json_as_double(v));
  if (v.IsString()) {
    auto d = parse_real_text(std::string_view(v.GetString(), v.GetStringLength()));
    if (d) return mio_of(*d);
  }
  return {};
}

void append_mio(std::string& out, Mio m) {
  switch (m.kind) {
    case Mio::Kind::Null: out += "null"; return;
    case Mio::Kind::Integer: append_whole(out, m.value); return;
    case Mio::Kind::Real: {
      // |value| <= 1 and value * 10 lies within an ulp of a whole number.
      int k = static_cast<int>(std::fabs(m.value) * 10 + 0.5);
      char text[4] = {'-', static_cast<char>('0' + k / 10), '.', static_cast<char>('0' + k % 10)};
      bool negative = std::signbit(m.value);
      out.append(text + (negative ? 0 : 1), negative ? 4 : 3);
      return;
    }
  }
}

namespace {

void append_score_of_string(std::string& out, std::string_view s) {
  if (s == "YI") out += "-1";
  else if (auto digits = common::parse_py_int(s, common::NumberBlanks::Ascii)) out += *digits;
  else out += "null";
}

void append_score_of_double(std::string& out, double d) {
  if (std::isfinite(d)) append_whole(out, std::trunc(d));
  else out += "null";
}

}  // namespace

void append_score_code(std::string& out, const Json* v) {
  if (v == nullptr || v->IsNull()) {
    out += "null";
  } else if (v->IsString()) {
    append_score_of_string(out, std::string_view(v->GetString(), v->GetStringLength()));
  } else if (v->IsBool()) {
    out += v->GetBool() ? '1' : '0';
  } else if (v->IsInt64()) {
    append_int(out, v->GetInt64());
  } else if (v->IsUint64()) {
    out += std::to_string(v->GetUint64());
  } else if (v->IsDouble()) {
    append_score_of_double(out, v->GetDouble());
  } else {
    out += "null";  // a list or a map
  }
}

std::optional<std::string> code_key(const Json& v) {
  if (v.IsNull()) return std::nullopt;
  if (v.IsArray() || v.IsObject()) throw std::runtime_error(std::string("a code cannot be ") + json_kind_name(v));
  char tag = v.IsString() ? 's' : v.IsBool() ? 'b' : v.IsDouble() ? 'r' : 'i';
  return tag + text_form(v);
}

std::string text_form(const Json& v) {
  switch (v.GetType()) {
    case rapidjson::kNullType: return "None";
    case rapidjson::kFalseType: return "False";
    case rapidjson::kTrueType: return "True";
    case rapidjson::kStringType: return std::string(v.GetString(), v.GetStringLength());
    case rapidjson::kNumberType:
      if (v.IsInt64()) return std::to_string(v.GetInt64());
      if (v.IsUint64()) return std::to_string(v.GetUint64());
      return common::repr_double(v.GetDouble());
    default: throw std::runtime_error(std::string("no text form for ") + json_kind_name(v));
  }
}

std::string RowLayout::page_text() const {
  std::string out = "{";
  auto add = [&](std::string_view name, std::uint32_t position) {
    if (out.size() > 1) out += ',';
    out += '"';
    out.append(name);
    out += "\":";
    append_int(out, position);
  };
  for (std::uint32_t i = 0; i < kFixedMembers.size(); ++i) add(kFixedMembers[i], i);
  add(kScorePrefix, score(0));
  for (std::uint32_t g = 0; g < kSeriesPrefixes.size(); ++g) add(kSeriesPrefixes[g], series(g));
  for (std::uint32_t f = 0; f < kFlagMembers.size(); ++f) add(kFlagMembers[f], flag(f));
  add(kNedenMember, neden());
  out += '}';
  return out;
}

RowEncoder::RowEncoder(const Json& donemler, const Json& risk_donemler) {
  if (!donemler.IsArray()) throw std::runtime_error("meta.donemler must be a list");
  if (!risk_donemler.IsArray()) throw std::runtime_error("meta.risk_donemler must be a list");
  layout_ = {.periods = donemler.Size(), .risk_periods = risk_donemler.Size()};
  rules_.resize(layout_.width());
  constexpr std::pair<std::uint32_t, Rule> kFixedRules[] = {
      {RowLayout::kMuta, Rule::Muta},       {RowLayout::kUnvan, Rule::Unvan}, {RowLayout::kSegment, Rule::Segment},
      {RowLayout::kSonRisk, Rule::SonRisk}, {RowLayout::kBolge, Rule::Bolge}, {RowLayout::kSube, Rule::Sube}};
  static_assert(std::size(kFixedRules) == RowLayout::kFixedMembers.size());
  for (auto [position, rule] : kFixedRules) put(position, std::string(RowLayout::kFixedMembers[position]), rule);
  std::uint32_t j = 0;
  for (const auto& p : donemler.GetArray())
    put(layout_.score(j++), std::string(RowLayout::kScorePrefix) + text_form(p), Rule::Score);
  for (std::uint32_t g = 0; g < RowLayout::kSeriesPrefixes.size(); ++g) {
    std::uint32_t k = 0;
    for (const auto& p : risk_donemler.GetArray())
      put(layout_.series(g, k++), std::string(RowLayout::kSeriesPrefixes[g]) + text_form(p), Rule::Amount);
  }
  for (std::uint32_t f = 0; f < RowLayout::kFlagMembers.size(); ++f)
    put(layout_.flag(f), std::string(RowLayout::kFlagMembers[f]), Rule::Flag);
  put(layout_.neden(), std::string(RowLayout::kNedenMember), Rule::Neden);
}

void RowEncoder::put(std::uint32_t position, std::string name, Rule rule) {
  rules_[position] = rule;
  by_name_[std::move(name)].push_back({position, rule});
}

std::span<const RowEncoder::Slot> RowEncoder::slots_for(std::string_view name) const {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return {};
  return it->second;
}

std::string_view RowEncoder::missing_text(Rule rule) {
  switch (rule) {
    case Rule::Muta:
    case Rule::Score:
    case Rule::Amount: return "null";
    case Rule::Unvan:
    case Rule::Neden: return "\"\"";
    case Rule::Segment:
    case Rule::Bolge:
    case Rule::Sube: return "-1";
    case Rule::SonRisk: return "0.0";
    case Rule::Flag: return "0";
  }
  return "null";
}

void RowEncoder::encode_value(Rule rule, const Json& v, std::string& out) const {
  if (v.IsString()) return encode_string(rule, std::string_view(v.GetString(), v.GetStringLength()), out);
  if (v.IsInt64()) return encode_int(rule, v.GetInt64(), out);
  if (v.IsDouble()) return encode_double(rule, v.GetDouble(), out);
  // Null, booleans, integers above the int64 range, lists and maps.
  switch (rule) {
    case Rule::Muta:
    case Rule::Flag:
    case Rule::Neden: write_html_safe(out, v); return;
    case Rule::Unvan:
      if (!common::json_truthy(v)) {
        out += "\"\"";
      } else if (v.IsArray()) {  // a slice of a list is the list's first elements
        out += '[';
        for (rapidjson::SizeType i = 0; i < v.Size() && i < kUnvanLength; ++i) {
          if (i) out += ',';
          write_html_safe(out, v[i]);
        }
        out += ']';
      } else {
        throw std::runtime_error(std::string("unvan must be a text, not ") + json_kind_name(v));
      }
      return;
    case Rule::Segment:
      if (v.IsArray() || v.IsObject()) throw std::runtime_error(std::string("segment cannot be ") + json_kind_name(v));
      out += "-1";
      return;
    case Rule::SonRisk:
    case Rule::Amount: append_mio(out, _mio(v)); return;
    case Rule::Score: append_score_code(out, &v); return;
    case Rule::Bolge:
    case Rule::Sube: throw std::logic_error("code positions are resolved through the maps");
  }
}

void RowEncoder::encode_int(Rule rule, std::int64_t i, std::string& out) const {
  switch (rule) {
    case Rule::Muta:
    case Rule::Flag:
    case Rule::Neden:
    case Rule::Score: append_int(out, i); return;
    case Rule::Unvan:
      if (i != 0) throw std::runtime_error("unvan must be a text, not a number");
      out += "\"\"";
      return;
    case Rule::Segment: out += "-1"; return;
    case Rule::SonRisk:
    case Rule::Amount: append_mio(out, mio_of(static_cast<double>(i))); return;
    case Rule::Bolge:
    case Rule::Sube: throw std::logic_error("code positions are resolved through the maps");
  }
}

void RowEncoder::encode_double(Rule rule, double d, std::string& out) const {
  switch (rule) {
    case Rule::Muta:
    case Rule::Flag:
    case Rule::Neden: write_html_safe(out, Json(d)); return;
    case Rule::Unvan:
      if (d != 0) throw std::runtime_error("unvan must be a text, not a number");
      out += "\"\"";
      return;
    case Rule::Segment: out += "-1"; return;
    case Rule::SonRisk:
    case Rule::Amount: append_mio(out, mio_of(d)); return;
    case Rule::Score: append_score_of_double(out, d); return;
    case Rule::Bolge:
    case Rule::Sube: throw std::logic_error("code positions are resolved through the maps");
  }
}

void RowEncoder::encode_string(Rule rule, std::string_view s, std::string& out) const {
  switch (rule) {
    case Rule::Muta:
    case Rule::Flag:
    case Rule::Neden: write_html_safe(out, s); return;
    case Rule::Unvan:
      if (s.empty()) out += "\"\"";
      else write_html_safe(out, s.substr(0, common::utf8_prefix_size(s, kUnvanLength)));
      return;
    case Rule::Segment: append_int(out, seg_index(s)); return;
    case Rule::SonRisk:
    case Rule::Amount: {
      auto d = parse_real_text(s);
      append_mio(out, d ? mio_of(*d) : Mio{});
      return;
    }
    case Rule::Score: append_score_of_string(out, s); return;
    case Rule::Bolge:
    case Rule::Sube: throw std::logic_error("code positions are resolved through the maps");
  }
}

RowText::RowText(const RowEncoder& encoder)
    : encoder_(encoder), offset_(encoder.width(), 0), length_(encoder.width(), kMissing) {
  buffer_.reserve(1024);
}

void RowText::clear() {
  buffer_.clear();
  std::fill(length_.begin(), length_.end(), kMissing);
}

template <typename Arg, typename Value>
void RowText::put(RowEncoder::Slot slot, void (RowEncoder::*encode)(RowEncoder::Rule, Arg, std::string&) const,
                  const Value& value) {
  const auto begin = buffer_.size();
  (encoder_.*encode)(slot.rule, value, buffer_);
  offset_[slot.position] = static_cast<std::uint32_t>(begin);
  length_[slot.position] = static_cast<std::uint32_t>(buffer_.size() - begin);
}

void RowText::set(RowEncoder::Slot slot, const Json& v) { put(slot, &RowEncoder::encode_value, v); }
void RowText::set_int(RowEncoder::Slot slot, std::int64_t i) { put(slot, &RowEncoder::encode_int, i); }
void RowText::set_double(RowEncoder::Slot slot, double d) { put(slot, &RowEncoder::encode_double, d); }
void RowText::set_string(RowEncoder::Slot slot, std::string_view s) { put(slot, &RowEncoder::encode_string, s); }

std::size_t RowText::max_size() const { return buffer_.size() + 5 * encoder_.width() + 2 + 16; }

RowSpan RowText::append_to(std::string& out) const {
  const std::size_t start = out.size();
  out.resize(start + max_size());
  const RowSpan span = write_at(out.data(), start);
  out.resize(start + span.head_size + span.tail_size);
  return span;
}

RowSpan RowText::write_at(char* out, std::size_t offset) const {
  // Joined through a pointer into room made beforehand: at most the encoded
  // texts, one missing text ("null" is the longest) and one comma per
  // position, and the brackets. Texts of up to 16 bytes, nearly all, are
  // moved 16 bytes at a time: the room (see max_size), and the buffer's own,
  // reach 16 bytes past any of them.
  const auto width = static_cast<std::uint32_t>(encoder_.width());
  const std::size_t room = buffer_.capacity();
  char* const base = out + offset;
  char* p = base;
  std::size_t head = 0;
  *p++ = '[';
  for (std::uint32_t i = 0; i < width; ++i) {
    if (i == RowEncoder::kBolgePosition) {
      *p++ = ',';  // the head ends after the comma before the region position
      head = static_cast<std::size_t>(p - base);
      ++i;  // the branch position too is filled in later
      continue;
    }
    if (i != 0) *p++ = ',';
    if (length_[i] == kMissing) {
      std::string_view text = RowEncoder::missing_text(encoder_.rule(i));
      std::memcpy(p, text.data(), text.size());
      p += text.size();
    } else if (length_[i] <= 16 && offset_[i] + 16 <= room) {
      std::memcpy(p, buffer_.data() + offset_[i], 16);
      p += length_[i];
    } else {
      std::memcpy(p, buffer_.data() + offset_[i], length_[i]);
      p += length_[i];
    }
  }
  *p++ = ']';
  const auto size = static_cast<std::size_t>(p - base);
  return {offset, static_cast<std::uint32_t>(head), static_cast<std::uint32_t>(size - head)};
}

namespace {

/// The ordering key of a row: son_risk, or 0 when missing, null, 0 or false.
double sort_key_of(const Json& v) {
  if (!common::json_truthy(v)) return 0;
  if (v.IsNumber() || v.IsBool()) return common::json_as_double(v);
  throw std::runtime_error(std::string("son_risk must be a number, not ") + json_kind_name(v));
}

}  // namespace

RowGroup::RowGroup(const RowEncoder& encoder) : encoder_(&encoder), row_(encoder) {}

std::span<const RowEncoder::Slot> RowGroup::slots_for(std::size_t member, std::string_view name) {
  if (member < names_.size()) {
    const std::string& known = names_[member].first;
    if (known.size() == name.size() && common::same_bytes(known.data(), name.data(), name.size()))
      return names_[member].second;
  }
  const auto slots = encoder_->slots_for(name);
  // Names with a quote or a backslash are not expected (see next_member).
  if (member < 64 && name.find_first_of("\"\\") == std::string_view::npos) {
    if (member >= names_.size()) names_.resize(member + 1);
    names_[member] = {std::string(name), slots};
  }
  return slots;
}

void RowGroup::put(std::span<const RowEncoder::Slot> slots, const Json& v) {
  for (const auto& slot : slots) {
    switch (slot.rule) {
      case RowEncoder::Rule::Bolge: bolge_id_ = bolge_codes.intern(v); break;
      case RowEncoder::Rule::Sube: sube_id_ = sube_codes.intern(v); break;
      case RowEncoder::Rule::SonRisk:
        sort_key_ = sort_key_of(v);
        row_.set(slot, v);
        break;
      default: row_.set(slot, v);
    }
  }
}

void RowGroup::put_number(std::span<const RowEncoder::Slot> slots, const common::JsonNumber& n) {
  // Integers and reals, most of a row, are encoded from their value; the
  // codes and integers beyond the int64 range go through a JSON value.
  if (n.kind == common::JsonNumber::Kind::Uint64) return put(slots, Json(n.u));
  for (const auto& slot : slots) {
    if (slot.rule == RowEncoder::Rule::Bolge || slot.rule == RowEncoder::Rule::Sube)
      return put(slots, n.kind == common::JsonNumber::Kind::Int64 ? Json(n.i) : Json(n.d));
  }
  for (const auto& slot : slots) {
    if (n.kind == common::JsonNumber::Kind::Int64) {
      if (slot.rule == RowEncoder::Rule::SonRisk) sort_key_ = static_cast<double>(n.i);
      row_.set_int(slot, n.i);
    } else {
      if (slot.rule == RowEncoder::Rule::SonRisk) sort_key_ = n.d;
      row_.set_double(slot, n.d);
    }
  }
}

void RowGroup::put_string(std::span<const RowEncoder::Slot> slots, std::string_view s) {
  for (const auto& slot : slots) {
    if (slot.rule == RowEncoder::Rule::SonRisk || slot.rule == RowEncoder::Rule::Bolge ||
        slot.rule == RowEncoder::Rule::Sube)
      return put(slots, Json(rapidjson::StringRef(s.data(), s.size())));
  }
  for (const auto& slot : slots) row_.set_string(slot, s);
}

void RowGroup::add(std::string_view json, std::size_t offset) {
  row_.clear();
  sort_key_ = 0;
  bolge_id_ = sube_id_ = -1;
  common::JsonCursor cursor(json, offset);
  cursor.enter_map();
  std::string_view name;
  const auto expected = [&](std::size_t member) {
    return member < names_.size() ? std::string_view(names_[member].first) : std::string_view();
  };
  for (std::size_t member = 0; cursor.next_member(name, expected(member)); ++member) {
    const auto slots = slots_for(member, name);
    if (slots.empty()) {
      cursor.skip();
      continue;
    }
    switch (cursor.peek()) {
      case common::JsonCursor::Kind::String: put_string(slots, cursor.string()); break;
      case common::JsonCursor::Kind::Number: put_number(slots, cursor.number_value()); break;
      case common::JsonCursor::Kind::True:
      case common::JsonCursor::Kind::False:
      case common::JsonCursor::Kind::Null: {
        const common::JsonCursor::Kind kind = cursor.peek();
        cursor.skip();
        put(slots, kind == common::JsonCursor::Kind::Null ? Json() : Json(kind == common::JsonCursor::Kind::True));
        break;
      }
      case common::JsonCursor::Kind::List:
      case common::JsonCursor::Kind::Map: {
        // A list or map as a member value is read whole and encoded as one.
        const JsonDoc value = common::json_parse(cursor.skip(), "row value");
        put(slots, value);
        break;
      }
    }
  }
  // The text grows by a quarter at a time and is cut to its length once, by
  // finish(): each byte of it is cleared once, not once a row.
  const std::size_t need = used_ + row_.max_size();
  if (text.size() < need) text.resize(std::max(need, text.size() + text.size() / 4 + 4096));
  const RowSpan span = row_.write_at(text.data(), used_);
  used_ += span.head_size + span.tail_size;
  rows.push_back({sort_key_, span.offset, span.head_size, span.tail_size, bolge_id_, sube_id_});
}

void RowGroup::finish() { text.resize(used_); }

JsonDoc _row_to_array(const Json& row, const Json& donemler, const Json& risk_donemler,
                      const CodeMap& BOLGE_MAP, const CodeMap& SUBE_MAP) {
  if (!row.IsObject()) throw std::runtime_error(std::string("a row must be a map, not ") + json_kind_name(row));
  RowEncoder encoder(donemler, risk_donemler);
  RowText text(encoder);
  const Json* bolge = nullptr;
  const Json* sube = nullptr;
  for (const auto& m : row.GetObject()) {
    for (const auto& slot : encoder.slots_for(std::string_view(m.name.GetString(), m.name.GetStringLength()))) {
      if (slot.rule == RowEncoder::Rule::Bolge) bolge = &m.value;
      else if (slot.rule == RowEncoder::Rule::Sube) sube = &m.value;
      else text.set(slot, m.value);
    }
  }
  auto lookup = [](const CodeMap& map, const Json* v) {
    if (v == nullptr) return -1;
    auto key = code_key(*v);
    if (!key) return -1;
    auto it = map.find(*key);
    return it == map.end() ? -1 : it->second;
  };
  std::string out;
  const RowSpan span = text.append_to(out);
  out.insert(span.head_size, std::to_string(lookup(BOLGE_MAP, bolge)) + ',' + std::to_string(lookup(SUBE_MAP, sube)));
  return common::json_parse(out, "compact row");
}

}  // namespace kemora::pipeline::panogen
