#pragma once
// What the renderer (engine.cpp) and the filters (filters.cpp) share: the
// errors and the work budget of a render, the binding of filter arguments,
// and Python's operators on template values.
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/pipeline/panogen/template/internal.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {

using List = TemplateValue::List;

/// A failure inside an expression, without a location yet; the renderer adds
/// the template name and line.
class EvalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// The names a scope binds, in order (keys are names in the syntax tree).
using Frame = std::vector<std::pair<std::string_view, TemplateValue>>;

/// What one render may still spend (TemplateLimits), shared by the renderers
/// of the template and of the templates it includes.
class Budget {
 public:
  explicit Budget(const TemplateLimits& limits) : limits_(limits) {}
  const TemplateLimits& limits() const { return limits_; }

  /// `n` loop iterations or element comparisons.
  void step(std::uint64_t n = 1) {
    if (n > limits_.max_steps - steps_)
      throw EvalError("too much work: more than " + std::to_string(limits_.max_steps) +
                      " loop iterations and comparisons in one render (TemplateLimits::max_steps)");
    steps_ += n;
  }
  /// `n` bytes written or built.
  void bytes(std::uint64_t n) {
    if (n > room()) throw EvalError(kTooMuchText);
    bytes_ += n;
  }
  /// `count` elements of `size` bytes each, without overflow.
  void bytes(std::uint64_t count, std::uint64_t size) {
    if (size != 0 && count > room() / size) throw EvalError(kTooMuchText);
    bytes(count * size);
  }
  /// `count` list elements built.
  void elements(std::uint64_t count) { bytes(count, kElementBytes); }
  /// Bytes that may still be written or built.
  std::uint64_t room() const { return limits_.max_bytes - bytes_; }
  /// `room()` as a size bound for a text that already holds `have` bytes.
  std::size_t bound(std::size_t have) const {
    std::uint64_t r = room();
    return r > std::numeric_limits<std::size_t>::max() - have ? std::numeric_limits<std::size_t>::max() : have + r;
  }

  /// Where rendering is (for errors that arise outside any expression).
  const std::string* name = nullptr;
  int line = 0;
  /// Levels of nesting that the calls now running add (blocks rendered by
  /// self.name() and super(), bodies of recursive loops called by loop()).
  int call_levels = 0;

  /// Frames that macros hold on to and namespaces: emptied when the render
  /// ends, which breaks the cycles values make through them (a macro in the
  /// frame it holds, a namespace holding itself).
  void keep(const std::shared_ptr<Frame>& f) {
    if (kept_frame_set_.insert(f.get()).second) kept_frames_.push_back(f);
  }
  void keep(const std::shared_ptr<TemplateMap>& m) { kept_maps_.push_back(m); }
  ~Budget() {
    for (auto& f : kept_frames_) f->clear();
    for (auto& m : kept_maps_) *m = TemplateMap();
  }
  Budget(const Budget&) = delete;
  Budget& operator=(const Budget&) = delete;
  /// Modules imported without context, by template name (Jinja2 caches them).
  std::map<std::string, TemplateValue, std::less<>> modules;
  /// Macro calls running (one inside another).
  int macro_calls = 0;
  /// The globals namespace, dict, joiner, cycler (made when first used).
  std::map<std::string, TemplateValue, std::less<>> globals;

  static constexpr std::uint64_t kElementBytes = 32;

 private:
  const TemplateLimits& limits_;
  std::uint64_t steps_ = 0;
  std::uint64_t bytes_ = 0;
  std::vector<std::shared_ptr<Frame>> kept_frames_;
  std::set<const Frame*> kept_frame_set_;
  std::vector<std::shared_ptr<TemplateMap>> kept_maps_;
};

/// Positional and keyword arguments bound to a filter's parameter names.
class Args {
 public:
  Args(std::string_view filter, std::initializer_list<std::string_view> names, List values,
       const std::vector<std::string>& kw_names)
      : values_(names.size()) {
    std::size_t positional = values.size() - kw_names.size();
    if (positional > names.size())
      throw EvalError("filter '" + std::string(filter) + "' takes at most " + std::to_string(names.size()) +
                      " arguments");
    for (std::size_t i = 0; i < positional; ++i) values_[i] = std::move(values[i]);
    for (std::size_t k = 0; k < kw_names.size(); ++k) {
      std::size_t slot = 0;
      for (std::string_view n : names) {
        if (n == kw_names[k]) break;
        ++slot;
      }
      if (slot == names.size())
        throw EvalError("filter '" + std::string(filter) + "' got an unexpected keyword argument '" + kw_names[k] + "'");
      if (values_[slot]) throw EvalError("filter '" + std::string(filter) + "' got multiple values for '" + kw_names[k] + "'");
      values_[slot] = std::move(values[positional + k]);
    }
  }
  bool has(std::size_t i) const { return values_[i].has_value(); }
  const TemplateValue& get(std::size_t i) const { return *values_[i]; }

 private:
  std::vector<std::optional<TemplateValue>> values_;
};

// ---- operators and conversions (engine.cpp) --------------------------------

bool is_int(const TemplateValue& v);
/// A list or a tuple: what +, * and < take (not a range or a dict view).
bool plain_sequence(const TemplateValue& v);
/// An integer result; an error beyond the engine's integer size.
TemplateValue make_int(BigInt v);
double to_double(const TemplateValue& v);
std::string type_name(const TemplateValue& v);
/// The UndefinedError of using `v`.
[[noreturn]] void fail_undefined(const TemplateValue& v);
/// Python's ==, < (`op` names the operator in errors), `in` and comparisons.
bool py_eq(const TemplateValue& a, const TemplateValue& b, Budget& st);
bool py_less(const TemplateValue& a, const TemplateValue& b, const char* op, Budget& st);
bool compare(CmpOp op, const TemplateValue& a, const TemplateValue& b, Budget& st);
TemplateValue arithmetic(BinOp op, const TemplateValue& a, const TemplateValue& b, Budget& st);
std::optional<BigInt> py_parse_int(std::string_view text, std::int64_t base = 10);
std::optional<double> py_parse_float(std::string_view text);
std::string py_upper(std::string_view s);
std::string py_lower(std::string_view s);
std::string_view py_strip(std::string_view s, const std::optional<std::string>& chars);
std::string escape_html(std::string_view s);
/// The code point at `index` (negative from the end) of `s`, or nullopt.
std::optional<std::string> utf8_at(std::string_view s, std::int64_t index);
std::int64_t int_arg(const TemplateValue& v, const char* what);

/// Python's `fmt % args` for a string `fmt` (format.cpp): a tuple gives the
/// positional arguments, a dict the %(name) ones, any other value is the one
/// argument. Forms whose text could differ from Python's are refused.
TemplateValue percent_format(const TemplateValue& fmt, const TemplateValue& args, Budget& st);

/// Python's obj[start:stop:step] of a list, tuple, range or string
/// (filters.cpp); other subjects and bounds other than integers or none are
/// refused (also slices of numbers, which Jinja2 makes undefined in some
/// constant expressions and fails on elsewhere).
TemplateValue slice_value(const TemplateValue& obj, const TemplateValue& start, const TemplateValue& stop,
                          const TemplateValue& step, Budget& st);

/// A character's case as Python's str.islower()/isupper()/title() see it
/// (methods.cpp); throws for characters beyond Latin whose case is not known.
enum class CharCase { Uncased, Lower, Upper, Title };
CharCase py_case(char32_t c);

/// Whether methods.cpp has the method `name` of `obj`, and calling it.
bool more_method(const TemplateValue& obj, std::string_view name);
std::optional<TemplateValue> call_more_methods(const TemplateValue& obj, const std::string& name, List args,
                                               const std::vector<std::string>& kw_names, class FilterHost& host);

// ---- filters by name (filters.cpp) -----------------------------------------

/// What the filters of filters.cpp need from the renderer: its budget, the
/// subscript of Jinja2's getitem, and the filters and tests it runs by name.
class FilterHost {
 public:
  virtual ~FilterHost() = default;
  virtual Budget& budget() = 0;
  /// `obj[key]` as Jinja2's getitem: an item, else an attribute, else undefined.
  virtual TemplateValue subscript(const TemplateValue& obj, const TemplateValue& key) = 0;
  /// The filter `name` applied to `v` (unknown names: an error).
  virtual TemplateValue run_filter(const std::string& name, const TemplateValue& v, List args,
                                   const std::vector<std::string>& kw_names) = 0;
  /// The test `name` of `v` (unknown names: an error); the last
  /// `kw_names.size()` arguments are by keyword.
  virtual bool run_test(const std::string& name, const TemplateValue& v, const List& args,
                        const std::vector<std::string>& kw_names) = 0;
  /// What printing `v` gives, charged to the budget.
  virtual std::string text_of(const TemplateValue& v) = 0;
  /// The elements iterating `v` gives, charged to the budget.
  virtual List items_of(const TemplateValue& v) = 0;
};

/// The filters of filters.cpp; nullopt for a filter that the renderer runs.
std::optional<TemplateValue> apply_more_filters(Filter f, const std::string& name, const TemplateValue& v, List args,
                                                const std::vector<std::string>& kw_names, FilterHost& host);

}  // namespace kemora::pipeline::panogen::tmpl::detail
