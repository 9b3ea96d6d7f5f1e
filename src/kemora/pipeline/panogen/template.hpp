#pragma once
#include <rapidjson/document.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/// A template engine that renders the subset of the Jinja2 language the
/// dashboard template uses, with the output Python's Jinja2 would give
/// (default Undefined, no autoescaping, trim_blocks/lstrip_blocks off, one
/// trailing newline of a template dropped). Templates are parsed once and
/// rendered by walking their syntax tree; strings are shared, never copied,
/// between the context and the output.
namespace kemora::pipeline::panogen {

/// Any template failure: a template that cannot be found or read, a syntax
/// error, an unsupported construct, or an error while rendering. what() reads
/// "<template name>:<line>: <problem>" for errors inside a template.
class TemplateError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
/// The template file does not exist in the search folder.
class TemplateNotFound : public TemplateError {
 public:
  using TemplateError::TemplateError;
};

class TemplateMap;

/// A value of the template language: undefined, none, bool, integer, real,
/// string, list, tuple, ordered map or callable. Copying a value is cheap:
/// strings, lists, maps and callables are shared, immutable, by reference.
class TemplateValue {
 public:
  enum class Kind : std::uint8_t { Undefined, None, Bool, Int, Double, String, List, Tuple, Map, Callable };
  using List = std::vector<TemplateValue>;
  /// A callable from the context; it gets the positional arguments of the
  /// call. Exceptions it throws become TemplateErrors naming the call site.
  using Function = std::function<TemplateValue(const List& args)>;

  /// The undefined value (what a missing name evaluates to).
  TemplateValue() = default;
  TemplateValue(bool b) : kind_(Kind::Bool) { num_.i = b ? 1 : 0; }
  TemplateValue(int v) : TemplateValue(static_cast<long long>(v)) {}
  TemplateValue(long v) : TemplateValue(static_cast<long long>(v)) {}
  TemplateValue(long long v) : kind_(Kind::Int) { num_.i = static_cast<std::int64_t>(v); }
  TemplateValue(unsigned v) : TemplateValue(static_cast<long long>(v)) {}
  /// Values above the int64 range become reals.
  TemplateValue(unsigned long v);
  TemplateValue(unsigned long long v) : TemplateValue(static_cast<unsigned long>(v)) {}
  TemplateValue(double v) : kind_(Kind::Double) { num_.d = v; }
  TemplateValue(std::string s);
  TemplateValue(const char* s) : TemplateValue(std::string(s)) {}
  TemplateValue(std::string_view s) : TemplateValue(std::string(s)) {}
  /// Shares `s` without copying its text (for large texts built elsewhere).
  TemplateValue(std::shared_ptr<const std::string> s);
  TemplateValue(List items);
  TemplateValue(TemplateMap map);

  static TemplateValue none();
  static TemplateValue tuple(List items);
  static TemplateValue function(Function f);
  /// A string marked safe (what the `safe`, `escape` and `tojson` filters give).
  static TemplateValue safe_string(std::string s);
  /// An undefined value that remembers why it is undefined ("'x' is undefined").
  static TemplateValue undefined(std::string hint);
  /// This string marked safe, sharing its text. Requires kind String.
  TemplateValue as_safe() const {
    TemplateValue v = *this;
    v.safe_ = true;
    return v;
  }

  Kind kind() const { return kind_; }
  bool is_undefined() const { return kind_ == Kind::Undefined; }
  bool is_none() const { return kind_ == Kind::None; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_number() const { return kind_ == Kind::Bool || kind_ == Kind::Int || kind_ == Kind::Double; }
  bool is_sequence() const { return kind_ == Kind::List || kind_ == Kind::Tuple; }
  bool is_map() const { return kind_ == Kind::Map; }
  bool is_safe() const { return safe_; }

  /// Accessors; each requires the matching kind (Bool/Int for as_int).
  bool as_bool() const { return num_.i != 0; }
  std::int64_t as_int() const { return num_.i; }
  double as_double() const { return num_.d; }
  std::string_view as_string() const { return *static_cast<const std::string*>(ptr_.get()); }
  const List& as_list() const { return *static_cast<const List*>(ptr_.get()); }
  const TemplateMap& as_map() const { return *static_cast<const TemplateMap*>(ptr_.get()); }
  const Function& as_function() const { return *static_cast<const Function*>(ptr_.get()); }
  /// Why an undefined value is undefined; empty when nothing is known.
  std::string_view undefined_hint() const;

  /// Python's truth value (undefined is false).
  bool truthy() const;
  /// Appends what printing the value with {{ }} gives (Python's str()).
  void append_str(std::string& out) const;
  std::string str() const;
  /// Appends Python's repr() of the value (strings quoted).
  void append_repr(std::string& out) const;

 private:
  Kind kind_ = Kind::Undefined;
  bool safe_ = false;
  union {
    std::int64_t i;
    double d;
  } num_{0};
  std::shared_ptr<const void> ptr_;
};

/// An ordered map from names to values: insertion order is kept, setting an
/// existing key replaces its value in place.
class TemplateMap {
 public:
  using Entry = std::pair<std::string, TemplateValue>;

  TemplateMap() = default;
  TemplateMap(std::initializer_list<Entry> entries);

  /// Sets `key` (appended when new) and returns *this for chaining.
  TemplateMap& set(std::string key, TemplateValue value);
  /// The value of `key`, or nullptr.
  const TemplateValue* find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  /// Key → position, kept once the map grows past a few entries.
  std::map<std::string, std::size_t, std::less<>> index_;
};

/// The named values a template is rendered with, in order.
using TemplateContext = TemplateMap;

/// Converts a JSON value: objects become maps with their member order,
/// arrays lists, integers ints (beyond int64: reals), strings copied once.
TemplateValue template_value_from_json(const rapidjson::Value& json);

/// Python's enumerate as a template callable: enumerate(seq) gives the list of
/// (index, element) tuples, index counted from 0 (dict: keys; string: characters).
TemplateValue template_enumerate();

namespace template_detail {
struct Template;
}

/// Loads templates by name from one search folder (names use '/' and may not
/// leave the folder), parses each once and renders it.
class TemplateEnvironment {
 public:
  explicit TemplateEnvironment(std::filesystem::path search_dir);
  ~TemplateEnvironment();
  TemplateEnvironment(const TemplateEnvironment&) = delete;
  TemplateEnvironment& operator=(const TemplateEnvironment&) = delete;

  /// Renders template `name` with `ctx`, appending the text to `out`.
  /// Throws TemplateError (nothing is guaranteed about `out` then).
  void render(const std::string& name, const TemplateContext& ctx, std::string& out) const;
  std::string render(const std::string& name, const TemplateContext& ctx) const;

  /// The parsed template `name` (parsed on first use). Throws TemplateError
  /// when it cannot be found, read or parsed.
  std::shared_ptr<const template_detail::Template> load(const std::string& name) const;

  const std::filesystem::path& search_dir() const { return search_dir_; }

 private:
  std::filesystem::path search_dir_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, std::shared_ptr<const template_detail::Template>, std::less<>> cache_;
};

}  // namespace kemora::pipeline::panogen
