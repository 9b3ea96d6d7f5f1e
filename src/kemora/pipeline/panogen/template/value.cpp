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
#include <variant>

#include "kemora/common/json.hpp"
#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include "kemora/common/limits.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/pipeline/panogen/template/template.hpp"
#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl {

using common::append_py_str_repr;

TemplateValue::TemplateValue(unsigned long v) {
  if (v > static_cast<unsigned long>(std::numeric_limits<std::int64_t>::max())) {
    v_ = std::make_shared<const BigInt>(BigInt(static_cast<std::int64_t>(v >> 1)).shifted_left(1) +
                                        BigInt(static_cast<std::int64_t>(v & 1)));
  } else {
    v_ = static_cast<std::int64_t>(v);
  }
}

TemplateValue::TemplateValue(BigInt v) {
  if (auto small = v.to_int64()) v_ = *small;
  else v_ = std::make_shared<const BigInt>(std::move(v));
}

TemplateValue::TemplateValue(std::string s) : v_(StringRep{std::make_shared<const std::string>(std::move(s)), false}) {}

TemplateValue::TemplateValue(std::shared_ptr<const std::string> s) {
  v_ = StringRep{s ? std::shared_ptr<const void>(std::move(s))
                   : std::shared_ptr<const void>(std::make_shared<const std::string>()),
                 false};
}

namespace {
[[noreturn]] void too_deep() { throw std::length_error(common::kTooDeeplyNested); }
}  // namespace

void TemplateValue::set_depth(int d) {
  if (d >= common::kMaxNesting) too_deep();
  depth_ = static_cast<std::uint16_t>(d + 1);
}

TemplateValue::TemplateValue(List items) {
  int d = 0;
  for (const auto& e : items) d = std::max(d, e.depth());
  set_depth(d);
  v_ = ListRep{std::make_shared<const List>(std::move(items))};
}

TemplateValue::TemplateValue(TemplateMap map) {
  int d = 0;
  for (const auto& e : map) d = std::max(d, e.second.depth());
  set_depth(d);
  v_ = MapRep{std::make_shared<const TemplateMap>(std::move(map))};
}

TemplateValue TemplateValue::none() {
  TemplateValue v;
  v.v_ = NoneRep{};
  return v;
}

TemplateValue TemplateValue::tuple(List items) {
  TemplateValue v(std::move(items));
  v.v_ = TupleRep{std::get<ListRep>(v.v_).items};
  return v;
}

TemplateValue TemplateValue::range(List items, std::int64_t start, std::int64_t stop, std::int64_t step) {
  TemplateValue v(std::move(items));
  v.v_ = RangeRep{std::get<ListRep>(v.v_).items, {start, stop, step}};
  return v;
}

TemplateValue TemplateValue::named_tuple(List items, const char* const* fields) {
  TemplateValue v = tuple(std::move(items));
  std::get<TupleRep>(v.v_).fields = fields;
  return v;
}

const char* const* TemplateValue::tuple_fields() const {
  if (const auto* t = std::get_if<TupleRep>(&v_)) return t->fields;
  return nullptr;
}

TemplateValue TemplateValue::iterator(List items, const char* type_name) {
  TemplateValue v(std::move(items));
  auto state = std::make_shared<IteratorState>();
  state->items = *std::get<ListRep>(v.v_).items;
  v.v_ = IteratorRep{std::move(state), type_name};
  return v;
}

TemplateValue TemplateValue::failed_iterator(std::string error, const char* type_name) {
  TemplateValue v = iterator({}, type_name);
  std::get<IteratorRep>(v.v_).state->error = std::move(error);
  return v;
}

TemplateValue::List TemplateValue::take_all() const {
  const auto* it = std::get_if<IteratorRep>(&v_);
  if (!it) bad_access("take_all");
  IteratorState& s = *it->state;
  if (!s.error.empty()) throw std::runtime_error(s.error);
  List rest(s.items.begin() + static_cast<std::ptrdiff_t>(s.pos), s.items.end());
  s.items.clear();
  s.pos = 0;
  return rest;
}

std::optional<TemplateValue> TemplateValue::take_next() const {
  const auto* it = std::get_if<IteratorRep>(&v_);
  if (!it) bad_access("take_next");
  IteratorState& s = *it->state;
  if (!s.error.empty()) throw std::runtime_error(s.error);
  if (s.pos >= s.items.size()) return std::nullopt;
  return s.items[s.pos++];
}

TemplateValue TemplateValue::view(List items, const char* type_name) {
  TemplateValue v(std::move(items));
  v.v_ = ViewRep{std::get<ListRep>(v.v_).items, type_name};
  return v;
}

std::array<std::int64_t, 3> TemplateValue::range_bounds() const {
  if (const auto* r = std::get_if<RangeRep>(&v_)) return r->bounds;
  bad_access("range_bounds");
}

TemplateValue TemplateValue::function(Function f) {
  TemplateValue v;
  v.v_ = CallableRep{std::make_shared<const Function>(std::move(f))};
  return v;
}

TemplateValue TemplateValue::object(TemplateMap attrs, const char* type_name) {
  TemplateValue v(std::move(attrs));
  v.v_ = ObjectRep{std::get<MapRep>(v.v_).map, type_name};
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
  auto holder = std::make_shared<DeferredString>();
  holder->text = std::move(text);
  v.v_ = StringRep{std::move(holder), true};
  return v;
}

std::shared_ptr<const TemplateText> TemplateValue::deferred_text() const {
  const auto* s = std::get_if<StringRep>(&v_);
  return s && s->deferred ? static_cast<const DeferredString*>(s->ptr.get())->text : nullptr;
}

const std::string& TemplateValue::deferred_string() const {
  const auto& d = *static_cast<const DeferredString*>(std::get<StringRep>(v_).ptr.get());
  std::call_once(d.made, [&] { d.text->write(d.chars); });
  return d.chars;
}

void TemplateValue::bad_access(const char* accessor) const {
  throw BadAccess(std::string("TemplateValue::") + accessor + "() of a value of type '" +
                  detail::py_type_name(*this) + "'");
}

bool TemplateValue::as_bool() const {
  if (const bool* b = std::get_if<bool>(&v_)) return *b;
  bad_access("as_bool");
}

std::int64_t TemplateValue::as_int() const {
  if (const auto* i = std::get_if<std::int64_t>(&v_)) return *i;
  if (const bool* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
  if (is_big_int()) throw BadAccess("TemplateValue::as_int() of an integer beyond 64 bits");
  bad_access("as_int");
}

BigInt TemplateValue::as_bigint() const {
  if (const auto* b = std::get_if<std::shared_ptr<const BigInt>>(&v_)) return **b;
  return BigInt(as_int());
}

double TemplateValue::as_double() const {
  if (const double* d = std::get_if<double>(&v_)) return *d;
  bad_access("as_double");
}

std::string_view TemplateValue::as_string() const {
  const auto* s = std::get_if<StringRep>(&v_);
  if (!s) bad_access("as_string");
  return s->deferred ? deferred_string() : *static_cast<const std::string*>(s->ptr.get());
}

const TemplateValue::List& TemplateValue::as_list() const {
  if (const auto* l = std::get_if<ListRep>(&v_)) return *l->items;
  if (const auto* t = std::get_if<TupleRep>(&v_)) return *t->items;
  if (const auto* r = std::get_if<RangeRep>(&v_)) return *r->items;
  if (const auto* w = std::get_if<ViewRep>(&v_)) return *w->items;
  bad_access("as_list");
}

const TemplateMap& TemplateValue::as_map() const {
  if (const auto* m = std::get_if<MapRep>(&v_)) return *m->map;
  if (const auto* o = std::get_if<ObjectRep>(&v_)) return *o->attrs;
  bad_access("as_map");
}

const TemplateValue::Function& TemplateValue::as_function() const {
  if (const auto* c = std::get_if<CallableRep>(&v_)) return *c->f;
  bad_access("as_function");
}

const char* TemplateValue::object_type() const {
  if (const auto* o = std::get_if<ObjectRep>(&v_)) return o->type_name;
  if (const auto* w = std::get_if<ViewRep>(&v_)) return w->type_name;
  if (const auto* i = std::get_if<IteratorRep>(&v_)) return i->type_name;
  bad_access("object_type");
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
  v.v_ = UndefinedRep{std::make_shared<const std::string>(std::move(hint))};
  return v;
}

std::string_view TemplateValue::undefined_hint() const {
  const auto* u = std::get_if<UndefinedRep>(&v_);
  if (!u || !u->hint) return {};
  return *u->hint;
}

bool TemplateValue::truthy() const {
  switch (v_.index()) {
    case kUndefined:
    case kNone: return false;
    case kBool: return std::get<bool>(v_);
    case kInt: return std::get<std::int64_t>(v_) != 0;
    case kBigInt: return true;  // never zero: zero fits 64 bits
    case kDouble: return std::get<double>(v_) != 0.0;
    case kString: {
      const auto& s = std::get<StringRep>(v_);
      return s.deferred ? deferred_text()->size() != 0 : !static_cast<const std::string*>(s.ptr.get())->empty();
    }
    case kList:
    case kTuple:
    case kRange:
    case kView: return !as_list().empty();
    case kMap: return !as_map().empty();
    case kObject:
    case kCallable:
    case kIterator: return true;
  }
  return false;
}

void TemplateValue::append_str(std::string& out) const {
  detail::append_str_limited(out, *this, std::string::npos);
}

std::string TemplateValue::str() const {
  std::string out;
  append_str(out);
  return out;
}

void TemplateValue::append_repr(std::string& out) const {
  detail::append_repr_limited(out, *this, std::string::npos);
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

namespace {

/// Builds values from rapidjson's events; numbers come as their text, so
/// that integers of any size stay exact.
class JsonBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JsonBuilder> {
 public:
  bool Null() { return put(TemplateValue::none()); }
  bool Bool(bool b) { return put(TemplateValue(b)); }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    std::string_view text(s, n);
    if (text.find_first_of(".eEIN") == std::string_view::npos) {
      bool negative = !text.empty() && text[0] == '-';
      std::optional<BigInt> v = BigInt::parse(text.substr(negative ? 1 : 0));
      if (!v) return false;
      return put(TemplateValue(negative ? -*v : *v));
    }
    if (text == "NaN" || text == "-NaN") return put(TemplateValue(std::nan("")));
    return put(TemplateValue(std::strtod(std::string(text).c_str(), nullptr)));
  }
  bool String(const char* s, rapidjson::SizeType n, bool) { return put(TemplateValue(std::string(s, n))); }
  bool StartObject() { return open(true); }
  bool Key(const char* s, rapidjson::SizeType n, bool) {
    stack_.back().key.assign(s, n);
    return true;
  }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(false); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  TemplateValue result;
  bool as_context = false;
  TemplateMap context;

 private:
  struct Open {
    bool is_map;
    TemplateValue::List items;
    TemplateMap map;
    std::string key;
  };
  bool open(bool is_map) {
    // A context's own object is no level of its values.
    if (stack_.size() >= static_cast<std::size_t>(common::kMaxNesting) + (as_context ? 1 : 0)) too_deep();
    stack_.push_back({is_map, {}, {}, {}});
    return true;
  }
  bool close() {
    Open o = std::move(stack_.back());
    stack_.pop_back();
    if (as_context && stack_.empty() && o.is_map) {
      context = std::move(o.map);
      return true;
    }
    return put(o.is_map ? TemplateValue(std::move(o.map)) : TemplateValue(std::move(o.items)));
  }
  bool put(TemplateValue v) {
    if (stack_.empty()) result = std::move(v);
    else if (stack_.back().is_map) stack_.back().map.set(std::move(stack_.back().key), std::move(v));
    else stack_.back().items.push_back(std::move(v));
    return true;
  }
  std::vector<Open> stack_;
};

}  // namespace

namespace {
void parse_json_text(std::string_view json, JsonBuilder& builder) {
  rapidjson::Reader reader;
  rapidjson::MemoryStream ms(json.data(), json.size());
  rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(ms);
  auto r = reader.Parse<rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseNanAndInfFlag |
                        rapidjson::kParseValidateEncodingFlag>(in, builder);
  if (r.IsError())
    throw std::runtime_error("bad JSON at offset " + std::to_string(r.Offset()) + ": " +
                             rapidjson::GetParseError_En(r.Code()));
}
}  // namespace

TemplateValue template_value_from_json_text(std::string_view json) {
  JsonBuilder builder;
  parse_json_text(json, builder);
  return std::move(builder.result);
}

TemplateContext template_context_from_json_text(std::string_view json) {
  JsonBuilder builder;
  builder.as_context = true;
  parse_json_text(json, builder);
  if (!builder.result.is_undefined()) throw std::runtime_error("a template context must be a JSON object");
  return std::move(builder.context);
}

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
    for (auto& e : detail::iterate_value(args[0]))
      pairs.push_back(TemplateValue::tuple({TemplateValue(static_cast<long long>(index++)), std::move(e)}));
    return TemplateValue(std::move(pairs));
  });
}

}  // namespace kemora::pipeline::panogen::tmpl

namespace kemora::pipeline::panogen::tmpl::detail {

void append_repr_limited(std::string& out, const TemplateValue& v, std::size_t max_size) {
  using Kind = TemplateValue::Kind;
  if (out.size() > max_size) throw std::length_error(kTooMuchText);
  switch (v.kind()) {
    case Kind::Undefined: out += "Undefined"; return;
    case Kind::None: out += "None"; return;
    case Kind::Bool: out += v.as_bool() ? "True" : "False"; return;
    case Kind::Int:
      if (v.is_big_int()) out += v.as_bigint().to_string();
      else common::append_int(out, v.as_int());
      return;
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
    case Kind::Range: {
      auto [start, stop, step] = v.range_bounds();
      out += "range(" + std::to_string(start) + ", " + std::to_string(stop);
      if (step != 1) out += ", " + std::to_string(step);
      out += ')';
      return;
    }
    case Kind::View: {
      out += v.object_type();
      out += "([";
      const auto& items = v.as_list();
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        append_repr_limited(out, items[i], max_size);
      }
      out += "])";
      return;
    }
    case Kind::Object:
    case Kind::Callable:
    case Kind::Iterator:
      // Python prints these with their address: no text can be the same.
      throw std::runtime_error(std::string("printing a value of type '") + py_type_name(v) + "' is not supported");
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
    case TemplateValue::Kind::Range: return "range";
    case TemplateValue::Kind::View: return v.object_type();
    case TemplateValue::Kind::Map: return "dict";
    case TemplateValue::Kind::Object: return v.object_type();
    case TemplateValue::Kind::Callable: return "function";
    case TemplateValue::Kind::Iterator: return v.object_type();
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
    case Kind::Range:
    case Kind::View:
    case Kind::Object:
    case Kind::Callable:
    case Kind::Iterator:
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
    case Kind::Tuple:
    case Kind::Range:
    case Kind::View: return v.as_list();
    case Kind::Iterator: return v.take_all();
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

}  // namespace kemora::pipeline::panogen::tmpl::detail
