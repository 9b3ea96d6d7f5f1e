// Template values: construction, Python's str()/repr() of them, JSON in and out.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <algorithm>

#include "kemora/common/json.hpp"
#include "kemora/common/limits.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/pipeline/panogen/template.hpp"
#include "kemora/pipeline/panogen/template_internal.hpp"

namespace kemora::pipeline::panogen {

using common::append_py_str_repr;

TemplateValue::TemplateValue(unsigned long v) {
  if (v > static_cast<unsigned long>(std::numeric_limits<std::int64_t>::max())) {
    kind_ = Kind::Double;
    num_.d = static_cast<double>(v);
  } else {
    kind_ = Kind::Int;
    num_.i = static_cast<std::int64_t>(v);
  }
}

TemplateValue::TemplateValue(std::string s)
    : kind_(Kind::String), ptr_(std::make_shared<const std::string>(std::move(s))) {}

TemplateValue::TemplateValue(std::shared_ptr<const std::string> s) : kind_(Kind::String) {
  ptr_ = s ? std::shared_ptr<const void>(std::move(s))
           : std::shared_ptr<const void>(std::make_shared<const std::string>());
}

namespace {
[[noreturn]] void too_deep() { throw std::length_error(common::kTooDeeplyNested); }
}  // namespace

TemplateValue::TemplateValue(List items) : kind_(Kind::List) {
  int d = 0;
  for (const auto& e : items) d = std::max(d, e.depth());
  if (d >= common::kMaxNesting) too_deep();
  depth_ = static_cast<std::uint16_t>(d + 1);
  ptr_ = std::make_shared<const List>(std::move(items));
}

TemplateValue::TemplateValue(TemplateMap map) : kind_(Kind::Map) {
  int d = 0;
  for (const auto& e : map) d = std::max(d, e.second.depth());
  if (d >= common::kMaxNesting) too_deep();
  depth_ = static_cast<std::uint16_t>(d + 1);
  ptr_ = std::make_shared<const TemplateMap>(std::move(map));
}

TemplateValue TemplateValue::none() {
  TemplateValue v;
  v.kind_ = Kind::None;
  return v;
}

TemplateValue TemplateValue::tuple(List items) {
  TemplateValue v(std::move(items));
  v.kind_ = Kind::Tuple;
  return v;
}

TemplateValue TemplateValue::function(Function f) {
  TemplateValue v;
  v.kind_ = Kind::Callable;
  v.ptr_ = std::make_shared<const Function>(std::move(f));
  return v;
}

TemplateValue TemplateValue::safe_string(std::string s) {
  TemplateValue v(std::move(s));
  v.safe_ = true;
  return v;
}

namespace {

/// What a deferred string holds: its text, and its characters once made.
struct DeferredString {
  std::shared_ptr<const TemplateText> text;
  mutable std::once_flag made;
  mutable std::string chars;
};

}  // namespace

TemplateValue TemplateValue::deferred(std::shared_ptr<const TemplateText> text) {
  TemplateValue v;
  v.kind_ = Kind::String;
  v.deferred_ = true;
  auto holder = std::make_shared<DeferredString>();
  holder->text = std::move(text);
  v.ptr_ = std::move(holder);
  return v;
}

std::shared_ptr<const TemplateText> TemplateValue::deferred_text() const {
  return deferred_ ? static_cast<const DeferredString*>(ptr_.get())->text : nullptr;
}

const std::string& TemplateValue::deferred_string() const {
  const auto& d = *static_cast<const DeferredString*>(ptr_.get());
  std::call_once(d.made, [&] { d.text->write(d.chars); });
  return d.chars;
}

void TemplatePage::write_pieces(const std::function<void(std::string_view)>& write) const {
  // Each deferred text is made on a helper thread while the piece before it
  // is written; two buffers take turns.
  std::string made[2];
  const auto make = [this, &made](std::size_t i) {
    std::string& out = made[i % 2];
    out.clear();
    splices[i].text->write(out);
  };
  std::future<void> next;
  if (!splices.empty()) next = std::async(std::launch::async, make, 0);
  std::size_t from = 0;
  for (std::size_t i = 0; i < splices.size(); ++i) {
    const Splice& s = splices[i];
    if (s.at > from) write(std::string_view(text).substr(from, s.at - from));
    from = s.at;
    next.get();
    if (i + 1 < splices.size()) next = std::async(std::launch::async, make, i + 1);
    write(made[i % 2]);
  }
  write(std::string_view(text).substr(from));
}

TemplateValue TemplateValue::undefined(std::string hint) {
  TemplateValue v;
  v.ptr_ = std::make_shared<const std::string>(std::move(hint));
  return v;
}

std::string_view TemplateValue::undefined_hint() const {
  if (kind_ != Kind::Undefined || !ptr_) return {};
  return *static_cast<const std::string*>(ptr_.get());
}

bool TemplateValue::truthy() const {
  switch (kind_) {
    case Kind::Undefined:
    case Kind::None: return false;
    case Kind::Bool:
    case Kind::Int: return num_.i != 0;
    case Kind::Double: return num_.d != 0.0;
    case Kind::String: return deferred_ ? deferred_text()->size() != 0 : !as_string().empty();
    case Kind::List:
    case Kind::Tuple: return !as_list().empty();
    case Kind::Map: return !as_map().empty();
    case Kind::Callable: return true;
  }
  return false;
}

void TemplateValue::append_str(std::string& out) const {
  template_detail::append_str_limited(out, *this, std::string::npos);
}

std::string TemplateValue::str() const {
  std::string out;
  append_str(out);
  return out;
}

void TemplateValue::append_repr(std::string& out) const {
  template_detail::append_repr_limited(out, *this, std::string::npos);
}

// ---- TemplateMap ------------------------------------------------------------

namespace {
constexpr std::size_t kIndexFrom = 8;  // below this many entries a linear scan is faster
}

TemplateMap::TemplateMap(std::initializer_list<Entry> entries) {
  for (const auto& e : entries) set(e.first, e.second);
}

TemplateMap& TemplateMap::set(std::string key, TemplateValue value) {
  if (const TemplateValue* existing = find(key)) {
    const_cast<TemplateValue&>(*existing) = std::move(value);
    return *this;
  }
  entries_.emplace_back(std::move(key), std::move(value));
  if (entries_.size() == kIndexFrom) {
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
  } else if (entries_.size() > kIndexFrom) {
    index_.emplace(entries_.back().first, entries_.size() - 1);
  }
  return *this;
}

const TemplateValue* TemplateMap::find(std::string_view key) const {
  if (entries_.size() >= kIndexFrom) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  for (const auto& e : entries_)
    if (e.first == key) return &e.second;
  return nullptr;
}

// ---- JSON in ----------------------------------------------------------------

namespace {
TemplateValue from_json(const rapidjson::Value& json, int level) {
  if ((json.IsArray() || json.IsObject()) && level >= common::kMaxNesting) too_deep();
  switch (json.GetType()) {
    case rapidjson::kNullType: return TemplateValue::none();
    case rapidjson::kFalseType: return TemplateValue(false);
    case rapidjson::kTrueType: return TemplateValue(true);
    case rapidjson::kNumberType:
      if (json.IsInt64()) return TemplateValue(static_cast<long long>(json.GetInt64()));
      if (json.IsUint64()) return TemplateValue(static_cast<unsigned long long>(json.GetUint64()));
      return TemplateValue(json.GetDouble());
    case rapidjson::kStringType:
      return TemplateValue(std::string(json.GetString(), json.GetStringLength()));
    case rapidjson::kArrayType: {
      TemplateValue::List items;
      items.reserve(json.Size());
      for (const auto& e : json.GetArray()) items.push_back(from_json(e, level + 1));
      return TemplateValue(std::move(items));
    }
    case rapidjson::kObjectType: {
      TemplateMap map;
      for (const auto& m : json.GetObject())
        map.set(std::string(m.name.GetString(), m.name.GetStringLength()),
                from_json(m.value, level + 1));
      return TemplateValue(std::move(map));
    }
  }
  return {};
}
}  // namespace

TemplateValue template_value_from_json(const rapidjson::Value& json) { return from_json(json, 0); }

TemplateValue template_enumerate() {
  return TemplateValue::function([](const TemplateValue::List& args) {
    if (args.empty() || args.size() > 2)
      throw std::runtime_error("enumerate() takes a sequence and an optional start");
    std::int64_t index = 0;
    if (args.size() == 2) {
      if (args[1].kind() != TemplateValue::Kind::Int && args[1].kind() != TemplateValue::Kind::Bool)
        throw std::runtime_error("enumerate() start must be an integer");
      index = args[1].as_int();
    }
    TemplateValue::List pairs;
    for (auto& e : template_detail::iterate_value(args[0]))
      pairs.push_back(TemplateValue::tuple({TemplateValue(static_cast<long long>(index++)), std::move(e)}));
    return TemplateValue(std::move(pairs));
  });
}

}  // namespace kemora::pipeline::panogen

namespace kemora::pipeline::panogen::template_detail {

void append_repr_limited(std::string& out, const TemplateValue& v, std::size_t max_size) {
  using Kind = TemplateValue::Kind;
  if (out.size() > max_size) throw std::length_error(kTooMuchText);
  switch (v.kind()) {
    case Kind::Undefined: out += "Undefined"; return;
    case Kind::None: out += "None"; return;
    case Kind::Bool: out += v.as_bool() ? "True" : "False"; return;
    case Kind::Int: common::append_int(out, v.as_int()); return;
    case Kind::Double: out += common::repr_double(v.as_double()); return;
    case Kind::String:
      if (v.is_safe()) {
        out += "Markup(";
        append_py_str_repr(out, v.as_string());
        out += ')';
      } else {
        append_py_str_repr(out, v.as_string());
      }
      return;
    case Kind::List:
    case Kind::Tuple: {
      const auto& items = v.as_list();
      out += v.kind() == Kind::List ? '[' : '(';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        append_repr_limited(out, items[i], max_size);
      }
      if (v.kind() == Kind::Tuple && items.size() == 1) out += ',';
      out += v.kind() == Kind::List ? ']' : ')';
      return;
    }
    case Kind::Map: {
      out += '{';
      bool first = true;
      for (const auto& [key, value] : v.as_map()) {
        if (!first) out += ", ";
        first = false;
        append_py_str_repr(out, key);
        out += ": ";
        append_repr_limited(out, value, max_size);
      }
      out += '}';
      return;
    }
    case Kind::Callable: out += "<function>"; return;
  }
}

void append_str_limited(std::string& out, const TemplateValue& v, std::size_t max_size) {
  if (v.is_undefined()) return;
  if (v.is_string()) {
    if (out.size() + v.as_string().size() > max_size) throw std::length_error(kTooMuchText);
    out.append(v.as_string());
    return;
  }
  append_repr_limited(out, v, max_size);
}

const char* py_type_name(const TemplateValue& v) {
  switch (v.kind()) {
    case TemplateValue::Kind::Undefined: return "Undefined";
    case TemplateValue::Kind::None: return "NoneType";
    case TemplateValue::Kind::Bool: return "bool";
    case TemplateValue::Kind::Int: return "int";
    case TemplateValue::Kind::Double: return "float";
    case TemplateValue::Kind::String: return v.is_safe() ? "Markup" : "str";
    case TemplateValue::Kind::List: return "list";
    case TemplateValue::Kind::Tuple: return "tuple";
    case TemplateValue::Kind::Map: return "dict";
    case TemplateValue::Kind::Callable: return "function";
  }
  return "object";
}

namespace {

/// json.dumps's text of a string with ensure_ascii, then made safe for HTML.
void append_json_string(std::string& out, std::string_view s) {
  common::json_write_string(out, s, {.ensure_ascii = true, .html_safe = true, .escape_apostrophe = true});
}

void append_json(std::string& out, const TemplateValue& v, int indent, int level, std::size_t max_size) {
  using Kind = TemplateValue::Kind;
  if (out.size() > max_size) throw std::length_error(kTooMuchText);
  auto newline = [&](int lvl) {
    out += '\n';
    out.append(static_cast<std::size_t>(indent * lvl), ' ');
  };
  switch (v.kind()) {
    case Kind::None: out += "null"; return;
    case Kind::Bool: out += v.as_bool() ? "true" : "false"; return;
    case Kind::Int: v.append_repr(out); return;
    case Kind::Double: common::json_write_real(out, v.as_double()); return;
    case Kind::String: append_json_string(out, v.as_string()); return;
    case Kind::List:
    case Kind::Tuple: {
      const auto& items = v.as_list();
      if (items.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += indent >= 0 ? "," : ", ";
        if (indent >= 0) newline(level + 1);
        append_json(out, items[i], indent, level + 1, max_size);
      }
      if (indent >= 0) newline(level);
      out += ']';
      return;
    }
    case Kind::Map: {
      const TemplateMap& map = v.as_map();
      if (map.empty()) {
        out += "{}";
        return;
      }
      std::vector<const TemplateMap::Entry*> entries;
      for (const auto& e : map) entries.push_back(&e);
      std::stable_sort(entries.begin(), entries.end(),
                       [](const auto* a, const auto* b) { return a->first < b->first; });
      out += '{';
      for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i) out += indent >= 0 ? "," : ", ";
        if (indent >= 0) newline(level + 1);
        append_json_string(out, entries[i]->first);
        out += ": ";
        append_json(out, entries[i]->second, indent, level + 1, max_size);
      }
      if (indent >= 0) newline(level);
      out += '}';
      return;
    }
    case Kind::Undefined:
    case Kind::Callable:
      throw std::runtime_error(std::string("Object of type ") + py_type_name(v) +
                               " is not JSON serializable");
  }
}

}  // namespace

void append_tojson(std::string& out, const TemplateValue& v, int indent, std::size_t max_size) {
  append_json(out, v, indent, 0, max_size);
  if (out.size() > max_size) throw std::length_error(kTooMuchText);
}

TemplateValue::List iterate_value(const TemplateValue& v) {
  using Kind = TemplateValue::Kind;
  switch (v.kind()) {
    case Kind::Undefined: return {};
    case Kind::List:
    case Kind::Tuple: return v.as_list();
    case Kind::Map: {
      TemplateValue::List keys;
      keys.reserve(v.as_map().size());
      for (const auto& e : v.as_map()) keys.emplace_back(e.first);
      return keys;
    }
    case Kind::String: {
      TemplateValue::List chars;
      std::string_view s = v.as_string();
      for (std::size_t i = 0; i < s.size();) {
        std::size_t start = i;
        utf8_next(s, i);
        chars.emplace_back(std::string(s.substr(start, i - start)));
      }
      return chars;
    }
    default:
      throw std::runtime_error(std::string("'") + py_type_name(v) + "' object is not iterable");
  }
}

}  // namespace kemora::pipeline::panogen::template_detail
