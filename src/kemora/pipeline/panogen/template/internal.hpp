#pragma once
#include "kemora/common/text.hpp"
// Internals of the template engine shared by its source files: the syntax
// tree, the parser entry point and the Python-compatible text helpers.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/pipeline/panogen/template/template.hpp"

namespace kemora::pipeline::panogen::tmpl::detail {

// ---- text helpers (template_value.cpp) -------------------------------------

using common::append_py_str_repr;
using common::py_isspace;
using common::utf8_append;
using common::utf8_length;
using common::utf8_next;
/// The type name Python gives a value in messages ("int", "str", "dict", ...).
const char* py_type_name(const TemplateValue& v);
/// The error of a render whose byte budget (TemplateLimits::max_bytes) is spent.
inline constexpr const char* kTooMuchText =
    "too much text: the render wrote or built more than its byte budget (TemplateLimits::max_bytes)";
/// json.dumps(v, sort_keys=True, indent=indent) with ensure_ascii, then the
/// HTML-unsafe characters < > & ' written as \u escapes. indent < 0: one line.
/// Throws std::runtime_error for values JSON cannot hold, std::length_error
/// (kTooMuchText) once `out` would grow past `max_size` bytes.
void append_tojson(std::string& out, const TemplateValue& v, int indent, std::size_t max_size);
/// TemplateValue::append_repr / append_str that throw std::length_error
/// (kTooMuchText) once `out` would grow past `max_size` bytes.
void append_repr_limited(std::string& out, const TemplateValue& v, std::size_t max_size);
void append_str_limited(std::string& out, const TemplateValue& v, std::size_t max_size);
/// The elements Python's iter() yields: list and tuple elements, map keys,
/// string characters; nothing for undefined. Throws std::runtime_error for
/// values that cannot be iterated.
TemplateValue::List iterate_value(const TemplateValue& v);

// ---- syntax tree (template_parser.cpp) -------------------------------------

enum class Filter {
  Length, Default, ToJson, Escape, Safe, Join, Upper, Lower, Int, Round, String,
  First, Last, Trim, Replace, Abs, Float, List, Sum, Min, Max, Center,
  // filters.cpp
  Reverse, Sort, Unique, Title, Capitalize, Truncate, Indent, WordCount, Format, FileSizeFormat, Batch, Slice,
  Map, Select, Reject, SelectAttr, RejectAttr, GroupBy, DictSort, Items, UrlEncode, StripTags,
};
enum class Test {
  Defined, Undefined, None, Number, String, Lower, Upper,  // no argument
  Integer, Float, Boolean, Mapping, Sequence, Iterable, Callable, Even, Odd, True, False,
  DivisibleBy, Eq, Ne, Lt, Le, Gt, Ge, In, SameAs,  // one argument
};
/// The filter or test of a name (nullopt: Jinja2 has none of that name, or
/// the engine does not support it).
std::optional<Filter> find_filter(std::string_view name);
std::optional<Test> find_test(std::string_view name);
/// Tests from DivisibleBy on take one argument.
inline bool test_takes_argument(Test t) { return t >= Test::DivisibleBy; }
enum class BinOp { Add, Sub, Mul, Div, FloorDiv, Mod, Pow };
enum class CmpOp { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn };

struct Expr;
using ExprPtr = std::unique_ptr<Expr>;

struct Expr {
  enum class Kind {
    Const, Name, List, Tuple, Dict, Attr, Item, Call, Filter, Test,
    Neg, Pos, Not, Binary, Concat, Compare, And, Or, Cond,
    Slice,  ///< args: subject, start, stop, step (none where left out)
  };
  Kind kind;
  int line = 0;
  /// Levels of this subtree: 0 for a name or constant, else one more than the
  /// deepest operand (what evaluating and destroying it recurse through).
  int depth = 0;
  TemplateValue value;        ///< Const
  std::string name;           ///< Name, Attr, Filter and Test names, Call keyword names joined
  std::vector<ExprPtr> args;  ///< operands: [0] is the subject where there is one
  std::vector<std::string> kw_names;  ///< keyword names of the last args (Call, Filter, Test)
  std::vector<CmpOp> cmp_ops;         ///< Compare: one per operand after the first
  Filter filter{};
  Test test{};
  BinOp op{};
  bool negated = false;  ///< Test: "is not"
  /// A literal, or an expression of literals only (no name, no call): Jinja2
  /// computes it when it compiles the template and writes the value into
  /// Python code, which for an infinity or NaN names an undefined variable.
  bool constant = false;
  /// A constant operand of an expression that is not (or of a statement other
  /// than {{ }}, where a constant is printed as text): an infinity or NaN
  /// there is an error, as it is in Jinja2.
  bool check_finite = false;
  /// Call: the levels open around it (blocks and expressions), which a
  /// macro it calls adds its own to.
  int level = 0;
};

/// The name a filter or set block's text is bound to for its filters.
inline constexpr const char* kBlockText = " block text";

struct Stmt;
using Body = std::vector<Stmt>;

struct Stmt {
  enum class Kind {
    Text, Output, For, If, Set, Include,
    Extends, Block, Autoescape,  // inheritance and escaping
    // macros.cpp
    Macro, CallBlock, SetBlock, FilterBlock, With, Import, FromImport,
  };
  Kind kind;
  int line = 0;
  int depth = 0;                     ///< Include, Block and recursive For: the blocks around it
  std::string text;                  ///< Text; Block: its name
  ExprPtr expr;                      ///< Output, For iterable, Set value, Include name
  std::vector<std::string> targets;  ///< For and Set names (more than one: unpacking)
  ExprPtr cond;                      ///< For: the "if" filter
  Body body;                         ///< For body
  Body else_body;                    ///< For: else
  std::vector<std::pair<ExprPtr, Body>> branches;  ///< If: (condition or null for else, body)
  bool uses_loop = false;            ///< For: the body refers to `loop`
  bool with_context = true;          ///< Include
  bool ignore_missing = false;       ///< Include
  // Inheritance, recursive loops and escaping.
  bool recursive = false;            ///< For: `recursive`, its body called again by `loop(...)`
  bool scoped = false;               ///< Block: sees the names around it
  bool required = false;             ///< Block: must be overridden
  bool autoescape = false;           ///< Autoescape: on (true) or off within its body
  // Macros, imports and block statements.
  /// Set: `targets[0].attr = ...` (a namespace attribute) when not empty;
  /// Macro, CallBlock: the macro's name ("caller" for a call block); Import:
  /// the module's name.
  std::string name;
  /// Macro, CallBlock: the parameters (in `targets`) and their defaults (null:
  /// none); With: the values of `targets`; FromImport: the names bound (in
  /// `targets` the names imported).
  std::vector<ExprPtr> defaults;
  std::vector<std::string> aliases;  ///< FromImport: the names bound
  bool catch_varargs = false;        ///< Macro, CallBlock: the body uses `varargs`
  bool catch_kwargs = false;         ///< ... `kwargs`
  bool uses_caller = false;          ///< ... `caller`
  /// recursive For: the levels its body holds; Macro, CallBlock: the levels
  /// the body adds to `depth`.
  int body_depth = 0;
};

struct Template {
  std::string name;
  Body body;
  /// The deepest nesting of blocks and expressions in the template (at most
  /// common::kMaxNesting); an include checks it against the levels above.
  int max_depth = 0;
  /// Its {% block %}s by name, wherever they stand in it.
  std::map<std::string, const Stmt*, std::less<>> blocks;
};

/// Parses template source `source` named `name`. Throws TemplateError
/// "name:line: message" for syntax errors and unsupported constructs.
std::shared_ptr<Template> parse_template(std::string name, std::string_view source);

}  // namespace kemora::pipeline::panogen::tmpl::detail
