#pragma once
#include <rapidjson/document.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "kemora/pipeline/panogen/errors.hpp"
#include "kemora/pipeline/panogen/template/bigint.hpp"

/// The template engine of the dashboard renderer: a subset of the Jinja2
/// language, rendered exactly as Python's Jinja2 renders it, or refused.
///
/// The Jinja2 environment it matches: `jinja2.Environment()` with the
/// default `Undefined` (an undefined value prints as nothing, is false, and
/// fails when used in arithmetic, attribute access or comparison), no
/// autoescaping, `trim_blocks` and `lstrip_blocks` off, `keep_trailing_newline`
/// off (one trailing newline of a template is dropped), `\r\n` and `\r` read
/// as `\n`, the default delimiters.
///
/// The rule: for any template and context the engine either renders exactly
/// the text Jinja2 renders, or fails with a TemplateError
/// "<template>:<line>: <what>" naming the construct. It never renders a
/// different text. tests/panogen/template_diff_fuzz.py checks this on random
/// templates against Jinja2; tests/panogen/data/templates/ is the corpus.
///
/// Supported:
/// - Text, `{{ }}`, `{% %}`, `{# #}`, `{% raw %}`, whitespace control `-`/`+`.
/// - Statements: `if`/`elif`/`else`; `for` with unpacking, an `if` filter and
///   `else`, and `loop.index`, `index0`, `revindex`, `revindex0`, `first`,
///   `last`, `length`, `depth` (1), `depth0` (0), `previtem`, `nextitem`,
///   `cycle(...)`, `changed(...)`; `set name = ...` (and `set a, b = ...`);
///   `include` of a name or of a list or tuple of names (the first that
///   exists; undefined ones skipped), with `ignore missing` and
///   `with`/`without context`.
/// - Inheritance: `{% extends name %}` (a name from any expression, chains of
///   any length, inside `if` too); once a template has extended another its
///   text and `{{ }}` are not written (and not evaluated) while its `set`s,
///   loops and includes still run, and a top-level `set` is seen by the
///   templates it extends. `{% block name [scoped] [required] %}` with
///   `{% endblock [name] %}`, blocks within blocks, in loops (`scoped`: seeing
///   the loop's names and `loop`) and in `if`s; `{{ super() }}` at every level,
///   `{{ self.name() }}`; a block defined twice, a required block rendered,
///   super() without a parent block and a second extends are errors as in
///   Jinja2.
/// - Recursive loops: `{% for x in seq [if c] recursive %}` with
///   `loop(children)` (its text), `loop.depth`/`depth0` counting the levels;
///   each level counts its body's levels against the nesting limit.
/// - `{% autoescape <literal> %}...{% endautoescape %}` (its body a scope):
///   inside, `{{ }}` escapes what is not Markup (a safe string: `|safe`, `|e`,
///   `|tojson`, Markup's own methods), `~` and `|join` with Markup among their
///   parts escape the plain ones and give Markup, `|replace` with Markup is
///   Markup's replace (MarkupSafe 2.1: old and new text escaped); `+` of
///   Markup and a string escapes the string everywhere. Included templates
///   are not escaped.
/// - `{% macro name(a, b=default) %}`: defaults computed at each call in the
///   macro's scope; positional and keyword arguments, `*args` and `**kwargs`
///   in its calls (and in those of the globals below); `varargs`, `kwargs` and
///   `caller` when the body uses them; the attributes `name`, `arguments`,
///   `catch_varargs`, `catch_kwargs`, `caller`. A macro sees the names of the
///   scopes it is defined in as they are when it runs, and the context; what
///   it sets stays inside. Its result is a plain string.
/// - `{% call(args) macro(...) %}...{% endcall %}` and `caller(...)`.
/// - `{% import name as m %}` and `{% from name import a, b as c %}`, with or
///   without context (without by default): a module holds the names its
///   template sets at the top level, not those starting with `_` nor those it
///   imports. Modules imported without context are made once per render
///   (Jinja2 keeps them longer: its environment caches them).
/// - `{% set name %}...{% endset %}` (with filters: `{% set x | upper %}`) and
///   `{% set ns.attr %}...{% endset %}`; `{% filter f|g(...) %}...{% endfilter %}`;
///   `{% with a = 1, b = a %}...{% endwith %}` (values computed outside).
/// - The globals `namespace(...)` (a dict and keyword arguments; `{% set
///   ns.attr = ... %}`), `dict(...)`, `joiner(sep)`, `cycler(...)` (`next()`,
///   `current`, `reset()`, `items`).
/// - Expressions: literals (strings with Python's escapes; integers in every
///   form Jinja2 reads: `1_000`, `0x1F`, `0o17`, `0b101`; reals `1.5`,
///   `1e3`; `true`/`false`/`none` in either case; lists, tuples, dicts with
///   string keys), `+ - * / // % **`, `~`, `== != < <= > >=`, `in`, `not in`,
///   `and`/`or`/`not`, `x if c else y`, attributes (`x.a`, `x.0`),
///   subscripts with negative indexes, slices `x[a:b:c]` of lists, tuples,
///   ranges and strings (any bound left out, negative, beyond the ends),
///   calls of context callables with positional arguments, `range()`, the
///   dict methods `items()`, `keys()`, `values()`, `get()`, the string
///   methods `upper()`, `lower()`, `strip()`, `lstrip()`, `rstrip()`,
///   `startswith()`/`endswith()` (of a text or a tuple of texts),
///   `replace()`, `split()`/`rsplit()` (sep, maxsplit, by position or
///   name), `join()`, `count()`, `find()`, `rfind()`, `index()`, `rindex()`,
///   `title()`, `capitalize()`, `format()` (`{}`, `{0}`, `{name}`, `!r`/`!s`,
///   and format specs of texts, integers and reals: fill, align, sign, `#`,
///   `0`, width, `,`/`_`, precision, types `s d x X o b e E f F g G %`), and
///   the list/tuple methods `count()` and `index()`.
/// - `%` formatting of strings (`"%s-%05.2f" % (a, b)`, `"%(k)s" % dict`):
///   conversions `s r d i u o x X e E f F g G c %`, flags `- + space # 0`,
///   width and precision (also `*`); the `format` filter the same way.
/// - Numbers as Python's: integers of any size, exact up to 14,000 bits
///   (about 4,200 digits; beyond, an operation is an error); integer/real
///   comparisons exact; int / int correctly rounded; `-0.0`, NaN and the
///   infinities printed as Python prints them.
/// - Filters: `length`/`count`, `default`/`d`, `tojson` (with `indent`),
///   `escape`/`e`, `safe`, `join` (separator, attribute), `upper`, `lower`,
///   `int` (with `default` and `base`), `float`, `round` (precision and
///   method), `string`, `first`, `last`, `trim` (chars), `replace` (count),
///   `abs`, `list`, `sum`/`min`/`max` (attribute; start; case_sensitive),
///   `center`, `sort` (reverse, case_sensitive, attribute: dotted "a.b",
///   numeric "0", several "a,b"), `unique` (case_sensitive, attribute),
///   `reverse`, `title`, `capitalize`, `truncate` (length, killwords, end,
///   leeway), `indent` (width as a number or text, first, blank),
///   `wordcount`, `format`, `filesizeformat` (binary), `batch` (linecount,
///   fill_with), `slice` (slices, fill_with), `map` (a filter by name with
///   its arguments, or attribute=/default=), `select`/`reject` (a test by
///   name with its arguments, or truth), `selectattr`/`rejectattr`, `groupby`
///   (attribute, default, case_sensitive; its items have `grouper` and
///   `list` and unpack as pairs), `dictsort` (case_sensitive, by, reverse),
///   `items`, `urlencode` (texts, dicts, lists of pairs), `striptags`. A
///   filter or test that `map`/`select` name and that does not exist is an
///   error when the generator is iterated, as in Jinja2.
/// - Generators (what `map`, `select`, `reject`, `selectattr`, `rejectattr`,
///   `unique`, `batch`, `slice`, `items` and `reverse` give): iterating one
///   uses it up, `first` takes its next item; they are true and have no
///   length; a failure inside one (an unknown filter, a bad item) happens
///   when it is iterated, never before.
/// - Tests: `defined`, `undefined`, `none`, `number`, `string`, `integer`,
///   `float`, `boolean`, `mapping`, `sequence`, `iterable`, `callable`,
///   `even`, `odd`, `true`, `false`, `lower`, `upper`, `divisibleby`, `eq`/
///   `equalto`/`==`, `ne`/`!=`, `lt`/`lessthan`/`<`, `le`/`<=`, `gt`/
///   `greaterthan`/`>`, `ge`/`>=`, `in`, `sameas` (the operator names only
///   through `select` and friends, as in Jinja2); `divisibleby(num=)`,
///   `in(seq=)`, `sameas(other=)` by keyword too, also through `select`.
/// - range() values print as `range(a, b)`, dict.items()/keys()/values() as
///   `dict_items([...])` etc.; they are not added, repeated or ordered.
///
/// Refused, with an error naming template, line and construct (Jinja2 would
/// render these; the engine does not):
/// - `{% break %}`/`{% continue %}`.
/// - `{% autoescape x %}` of a value that is not a literal (Jinja2 then
///   escapes {{ }} by its value when rendering but compiles `~` without it);
///   within an autoescape region: `{% block %}`, recursive loops, the names
///   `self` and `super` (and `loop` inside a recursive loop), statements
///   other than text, `{{ }}`, if, for, set, include and autoescape, and calls
///   of names other than range(), whose Markup-ness follows rules of their
///   own.
/// - An include of a list holding something other than strings and
///   undefined values; `{% include ... without context %}` inside a
///   recursive loop (Jinja2 fails to render those templates); `super.super()`;
///   calling `self.name()`, `super()` or `loop()` after the render, block or
///   loop they belong to has ended.
/// - Chains of templates extending templates more than 512 levels deep
///   (Jinja2 fails with a RecursionError long before).
/// - Macro parameters named `caller`, `varargs` or `kwargs`; a call block of
///   something other than a macro; a block assignment to several names; the
///   attributes of macros and cyclers other than those above; printing a
///   macro, a namespace, a joiner or a module. (A filter block whose filters
///   give anything but a string fails too, as in Jinja2, which names no line.)
/// - Macro calls nested more than 80 deep (Jinja2 reaches Python's recursion
///   limit at about 200, fewer with includes or call blocks between).
/// - Calling a macro after the template that included its template has
///   ended (only possible by keeping it in a namespace).
/// - Keyword arguments and `*args`/`**kwargs` in calls of anything but
///   macros and the globals above (filters, tests and methods take keyword
///   arguments where Jinja2's do), dict keys other than strings, nested
///   unpacking, assigning to attributes but those of namespaces (one at a
///   time).
/// - Slices of dicts and numbers, slices inside a tuple of subscripts
///   (`x[1:2, 3]`), bounds other than integers and none.
/// - Filters and tests other than those above (unknown ones fail when the
///   template is parsed, even inside a branch never taken), methods other
///   than those above (taking one without calling it is fine; calling or
///   printing it fails), `startswith`/`endswith` with start and end, list
///   `count`/`index` with start and stop, the attributes of numbers
///   (`x.real`).
/// - Printing a callable, a method, `loop`, `self` or a block of it, or a
///   generator; comparing a generator, its attributes, its subscripts, `in`
///   over it (Jinja2 prints an address, a repr, or compares identities).
/// - Sorting (`sort`, `dictsort`, `groupby`) keys that are or hold NaN, and
///   `unique` of NaN (Python's result depends on its algorithm and objects).
/// - Case mappings Python makes with several characters or by context: the
///   upper or title case of `ß`, `ﬁ`, `ǆ`, `ŉ`, ... (`upper`, `title`,
///   `capitalize`), the lower case of `Σ`; `str.title()` and the `lower`/
///   `upper` tests of characters beyond Latin that have no case mapping
///   here (whether Python counts them cased is not known); `wordcount` of texts with
///   characters beyond ASCII other than letters with a case, Latin-1 signs
///   and general punctuation; `striptags` of texts with character references
///   other than `&amp;` `&lt;` `&gt;` `&quot;` and numeric ones of printable
///   ASCII; attribute paths beyond ASCII in filters.
/// - `%` formatting: of a safe (Markup) text, `%a`, `%r` of an undefined
///   value, reals that are infinite or NaN, `%x`/`%o` of integers beyond 64
///   bits, `%c` of a surrogate, a `%(name)` and positional conversions in
///   one format, widths and precisions beyond 1,000,000. `format()` of a safe
///   text, nested fields (`{:{w}}`), field names with attributes or items
///   (`{0.a}`, `{a[0]}`), conversions other than `!r`/`!s`, the `n` and `c`
///   types, zero padding of texts without an alignment or with digit
///   grouping, reals with a precision and no type, infinite or NaN reals,
///   the `#` form of reals, `x o b X` of integers beyond 64 bits.
/// - Names beyond ASCII other than the Latin letters U+00C0..U+024F.
/// - `int()`/`float()` of a text holding a character beyond ASCII that may be
///   a decimal digit of another script (Python reads those).
/// - Integers beyond 14,000 bits; int / int results below 2**-1021.
/// - A name that an inner loop or a macro uses before a `{% set %}` of it in
///   the scope around, where that set is the scope's first mention of it
///   (Jinja2 leaves the name undefined in the loop or macro there).
/// - Work beyond TemplateLimits (loop steps, bytes, range() length), nesting
///   beyond 512 levels.
///
/// Templates are parsed once and rendered by walking their syntax tree;
/// strings are shared, never copied, between the context and the output.
///
/// Hostile templates and values end in a TemplateError, never in a crash or a
/// run without end:
/// - Nesting: at most kemora::common::kMaxNesting (512) levels. In a template
///   every bracket, parenthesis, unary operator, `not`, inline `if`, and every
///   link of an attribute, subscript, call, filter, test or binary-operator
///   chain is one level, and every `{% for %}`/`{% if %}` body one more level
///   for what it holds; an `{% include %}` runs the included template one level
///   below the include statement, so include depth, block depth and expression
///   depth add up; so do an import's, and a macro call's: the levels around
///   the call and those of the macro's body. A block runs one level below
///   where it stands, and every call of `self.name()`, `super()` or a
///   recursive `loop()` adds the levels of what it renders, so endless
///   recursion ends in that error too. Beyond the limit parsing (or, for
///   includes, rendering)
///   fails with "<template>:<line>: too deeply nested (more than 512 levels)".
///   Values (lists, tuples, maps) nest at most 512 levels too: building a
///   deeper one throws std::length_error with that text (inside a render: a
///   TemplateError naming template and line).
/// - Work: see TemplateLimits (loop iterations, bytes built, range() length).
/// No other exception than TemplateError leaves TemplateEnvironment::render.
namespace kemora::pipeline::panogen::tmpl {

class TemplateMap;

/// A text that a value stands for but that is only made when it is needed:
/// a large text built from other data (the dashboard's row chunks). A render
/// to a TemplatePage never makes it at all, and one to a string writes it
/// straight into the output.
class TemplateText {
 public:
  virtual ~TemplateText() = default;
  /// Its length in bytes.
  virtual std::size_t size() const = 0;
  /// Appends exactly size() bytes to `out`.
  virtual void write(std::string& out) const = 0;
};

/// A value of the template language: undefined, none, bool, integer (of any
/// size), real, string, list, tuple, ordered map, object (a loop's `loop`:
/// attributes, but neither printed nor iterated) or callable. Copying a value
/// is cheap: strings, lists, maps, large integers and callables are shared,
/// immutable, by reference.
///
/// The value is a checked sum type: asking for another kind than the one it
/// holds (as_list() of a string, as_int() of a real) throws
/// TemplateValue::BadAccess, never reads the wrong member.
class TemplateValue {
 public:
  enum class Kind : std::uint8_t {
    Undefined, None, Bool, Int, Double, String, List, Tuple, Range, View, Map, Object, Callable, Iterator
  };
  using List = std::vector<TemplateValue>;
  /// A callable from the context; it gets the positional arguments of the
  /// call. Exceptions it throws become TemplateErrors naming the call site.
  using Function = std::function<TemplateValue(const List& args)>;
  /// What a wrong accessor throws.
  class BadAccess : public std::logic_error {
   public:
    using std::logic_error::logic_error;
  };

  /// The undefined value (what a missing name evaluates to).
  TemplateValue() = default;
  TemplateValue(bool b) : v_(b) {}
  TemplateValue(int v) : v_(std::int64_t{v}) {}
  TemplateValue(long v) : v_(static_cast<std::int64_t>(v)) {}
  TemplateValue(long long v) : v_(static_cast<std::int64_t>(v)) {}
  TemplateValue(unsigned v) : v_(std::int64_t{v}) {}
  /// Values above the int64 range stay exact (as large integers).
  TemplateValue(unsigned long v);
  TemplateValue(unsigned long long v) : TemplateValue(static_cast<unsigned long>(v)) {}
  /// An integer of any size; stored as 64 bits when it fits.
  TemplateValue(BigInt v);
  TemplateValue(double v) : v_(v) {}
  TemplateValue(std::string s);
  TemplateValue(const char* s) : TemplateValue(std::string(s)) {}
  TemplateValue(std::string_view s) : TemplateValue(std::string(s)) {}
  /// Shares `s` without copying its text (for large texts built elsewhere).
  TemplateValue(std::shared_ptr<const std::string> s);
  /// Lists and maps throw std::length_error ("too deeply nested (more than
  /// 512 levels)") when they would nest more than kMaxNesting levels.
  TemplateValue(List items);
  TemplateValue(TemplateMap map);

  static TemplateValue none();
  static TemplateValue tuple(List items);
  /// A tuple whose items are also attributes, named by `fields` (a static,
  /// nullptr-terminated array): Python's namedtuple.
  static TemplateValue named_tuple(List items, const char* const* fields);
  /// What range(start, stop, step) gives: a sequence of `items` that prints
  /// as Python's range does and is neither added to nor repeated.
  static TemplateValue range(List items, std::int64_t start, std::int64_t stop, std::int64_t step);
  /// What dict.items(), .keys() and .values() give: a sequence of `items`
  /// that prints as "<type_name>([...])" (`type_name` static text).
  static TemplateValue view(List items, const char* type_name);
  static TemplateValue function(Function f);
  /// What a generator or a reverse iterator gives (the `map`, `select`,
  /// `reverse`, ... filters): iterating it takes its remaining `items`, so a
  /// second iteration gives nothing; it is true, has no length and is not
  /// printed (Python prints an address). `type_name` static text.
  static TemplateValue iterator(List items, const char* type_name);
  /// A generator whose first step fails with `error` (std::runtime_error):
  /// a generator filter does its work only when iterated.
  static TemplateValue failed_iterator(std::string error, const char* type_name);
  /// An object named `type_name` (static text) whose attributes are `attrs`.
  static TemplateValue object(TemplateMap attrs, const char* type_name);
  /// A string marked safe (what the `safe`, `escape` and `tojson` filters give).
  static TemplateValue safe_string(std::string s);
  /// A string whose characters `text` makes: {{ }} writes them as they are
  /// made (or leaves them to the TemplatePage), and an expression that needs
  /// them has them made once and kept.
  static TemplateValue deferred(std::shared_ptr<const TemplateText> text);
  /// An undefined value that remembers why it is undefined ("'x' is undefined").
  static TemplateValue undefined(std::string hint);
  /// This string marked safe, sharing its text. Requires kind String.
  TemplateValue as_safe() const {
    if (!is_string()) bad_access("as_safe");
    TemplateValue v = *this;
    v.safe_ = true;
    return v;
  }

  Kind kind() const {
    static constexpr Kind kKinds[] = {Kind::Undefined, Kind::None,   Kind::Bool, Kind::Int,    Kind::Int,     Kind::Double,
                                      Kind::String,    Kind::List,   Kind::Tuple, Kind::Range, Kind::View,   Kind::Map,
                                      Kind::Object,    Kind::Callable, Kind::Iterator};
    return kKinds[v_.index()];
  }
  bool is_undefined() const { return v_.index() == kUndefined; }
  bool is_none() const { return v_.index() == kNone; }
  bool is_string() const { return v_.index() == kString; }
  /// Bool, Int or Double.
  bool is_number() const { return v_.index() >= kBool && v_.index() <= kDouble; }
  /// Bool or Int (Python's bool is an int).
  bool is_integer() const { return v_.index() >= kBool && v_.index() <= kBigInt; }
  /// An integer beyond 64 bits.
  bool is_big_int() const { return v_.index() == kBigInt; }
  /// List, Tuple, Range or View.
  bool is_sequence() const { return v_.index() >= kList && v_.index() <= kView; }
  bool is_map() const { return v_.index() == kMap; }
  bool is_safe() const { return safe_; }
  /// Nesting of lists, tuples and maps: 0 for other values, one more than the
  /// deepest element (at most kemora::common::kMaxNesting).
  int depth() const { return depth_; }

  /// Accessors; each throws BadAccess unless the value is of its kind.
  bool as_bool() const;
  /// A Bool or an Int within 64 bits (a larger one: BadAccess).
  std::int64_t as_int() const;
  /// A Bool or an Int of any size.
  BigInt as_bigint() const;
  double as_double() const;
  std::string_view as_string() const;
  /// The text behind a deferred string; nullptr for any other value.
  std::shared_ptr<const TemplateText> deferred_text() const;
  /// The elements of a List, Tuple or Range.
  const List& as_list() const;
  /// start, stop and step of a Range.
  std::array<std::int64_t, 3> range_bounds() const;
  /// The entries of a Map, or the attributes of an Object.
  const TemplateMap& as_map() const;
  const Function& as_function() const;
  /// The type name of an Object ("LoopContext") or a View ("dict_items").
  const char* object_type() const;
  /// The field names of a named tuple; nullptr for any other value.
  const char* const* tuple_fields() const;
  /// Iterator: takes all remaining items, or the next one (nullopt at the end).
  List take_all() const;
  std::optional<TemplateValue> take_next() const;
  /// Why an undefined value is undefined; empty when nothing is known.
  std::string_view undefined_hint() const;

  /// Python's truth value (undefined is false).
  bool truthy() const;
  /// Appends what printing the value with {{ }} gives (Python's str()).
  /// Throws std::runtime_error for a value whose text Jinja2 would not give
  /// the same way (a callable, an object).
  void append_str(std::string& out) const;
  std::string str() const;
  /// Appends Python's repr() of the value (strings quoted).
  void append_repr(std::string& out) const;

 private:
  struct UndefinedRep {
    std::shared_ptr<const std::string> hint;
  };
  struct NoneRep {};
  struct StringRep {
    std::shared_ptr<const void> ptr;  ///< a std::string, or the holder of a deferred text
    bool deferred = false;
  };
  struct ListRep {
    std::shared_ptr<const List> items;
  };
  struct TupleRep {
    std::shared_ptr<const List> items;
    const char* const* fields = nullptr;  ///< a named tuple's field names
  };
  struct RangeRep {
    std::shared_ptr<const List> items;
    std::array<std::int64_t, 3> bounds;
  };
  struct ViewRep {
    std::shared_ptr<const List> items;
    const char* type_name;
  };
  struct MapRep {
    std::shared_ptr<const TemplateMap> map;
  };
  struct ObjectRep {
    std::shared_ptr<const TemplateMap> attrs;
    const char* type_name;
  };
  struct CallableRep {
    std::shared_ptr<const Function> f;
  };
  struct IteratorState {
    List items;
    std::size_t pos = 0;
    std::string error;  ///< what iterating it throws, if not empty
  };
  struct IteratorRep {
    std::shared_ptr<IteratorState> state;  ///< shared by the copies: iterating one advances all
    const char* type_name;
  };
  enum : std::size_t {
    kUndefined, kNone, kBool, kInt, kBigInt, kDouble, kString, kList, kTuple, kRange, kView, kMap, kObject, kCallable,
    kIterator
  };
  using Storage = std::variant<UndefinedRep, NoneRep, bool, std::int64_t, std::shared_ptr<const BigInt>, double,
                               StringRep, ListRep, TupleRep, RangeRep, ViewRep, MapRep, ObjectRep, CallableRep,
                               IteratorRep>;

  [[noreturn]] void bad_access(const char* accessor) const;
  const std::string& deferred_string() const;
  void set_depth(int d);

  Storage v_;
  bool safe_ = false;
  /// Levels of lists/tuples/maps: 0 for scalars, 1 + the deepest element.
  std::uint16_t depth_ = 0;
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
/// arrays lists, integers ints (beyond uint64 rapidjson has already made
/// them reals: use template_value_from_json_text for exact ones), strings
/// copied once.
/// Throws std::length_error for a value nested more than kMaxNesting levels.
TemplateValue template_value_from_json(const rapidjson::Value& json);
/// Parses JSON text as Python's json.loads does: integers of any size stay
/// exact, reals are read correctly rounded (NaN/Infinity accepted).
/// Throws std::runtime_error naming the offset of a syntax error, and
/// std::length_error for a value nested more than kMaxNesting levels.
TemplateValue template_value_from_json_text(std::string_view json);
/// The members of a JSON object as a context, read as
/// template_value_from_json_text reads them; levels are counted from the
/// members (as for template_value_from_json of each). Throws
/// std::runtime_error when the text is not an object.
TemplateContext template_context_from_json_text(std::string_view json);

/// Python's enumerate as a template callable: enumerate(seq) gives the list of
/// (index, element) tuples, index counted from 0 (dict: keys; string: characters).
TemplateValue template_enumerate();

namespace detail {
struct Template;
}

/// Bounds on the work of one render (TemplateEnvironment::render, included
/// templates counted with the template that includes them). Reaching one
/// ends the render with "<template>:<line>: <what was exceeded>". The
/// defaults leave a dashboard of millions of rows far inside them; a fuzzer
/// or a host that renders untrusted templates sets smaller ones.
struct TemplateLimits {
  /// Loop iterations (every element a `for` visits or tests with its `if`),
  /// element comparisons (==, <, in over lists and maps) and calls of
  /// self.name(), super() and a recursive loop(), all together.
  std::uint64_t max_steps = 100'000'000;
  /// Bytes the render writes to its output plus the bytes of every string an
  /// expression builds (~, +, *, join, replace, tojson, string, ...), plus 32
  /// per element of every list a range(), list(), + or * builds.
  std::uint64_t max_bytes = std::uint64_t{4} << 30;
  /// Items one range() may give; Jinja2's sandbox has the same rule
  /// (MAX_RANGE = 100000): "range too long (more than 100000 items)".
  std::int64_t max_range = 100'000;
};

/// A rendered text with the deferred texts (see TemplateValue::deferred)
/// that {{ }} wrote left out: `text` is the rest, and each splice says what
/// goes in at which byte of it. Writing the pieces in order gives the text a
/// render to a string gives.
struct TemplatePage {
  struct Splice {
    std::size_t at;
    std::shared_ptr<const TemplateText> text;
  };
  std::string text;
  std::vector<Splice> splices;  ///< in order of `at`
  /// Calls `write` with every piece of the whole text in turn.
  void write_pieces(const std::function<void(std::string_view)>& write) const;
};

/// Loads templates by name from one search folder (names use '/' and may not
/// leave the folder), parses each once and renders it.
class TemplateEnvironment {
 public:
  explicit TemplateEnvironment(std::filesystem::path search_dir, TemplateLimits limits = {});
  ~TemplateEnvironment();
  TemplateEnvironment(const TemplateEnvironment&) = delete;
  TemplateEnvironment& operator=(const TemplateEnvironment&) = delete;

  /// Renders template `name` with `ctx`, appending the text to `out`.
  /// Throws TemplateError (nothing is guaranteed about `out` then).
  void render(const std::string& name, const TemplateContext& ctx, std::string& out) const;
  std::string render(const std::string& name, const TemplateContext& ctx) const;
  /// Renders into `page`, leaving deferred texts out of page.text.
  void render(const std::string& name, const TemplateContext& ctx, TemplatePage& page) const;

  /// The parsed template `name` (parsed on first use). Throws TemplateError
  /// when it cannot be found, read or parsed.
  std::shared_ptr<const detail::Template> load(const std::string& name) const;

  const std::filesystem::path& search_dir() const { return search_dir_; }
  const TemplateLimits& limits() const { return limits_; }

  /// Makes `load` parse `source` for template `name` instead of reading a
  /// file (for tests and fuzzing; no file system access for that name). An
  /// environment with an empty search folder reads no files at all.
  void add_source(const std::string& name, std::string_view source);

 private:
  void render(const std::string& name, const TemplateContext& ctx, std::string& out,
              std::vector<TemplatePage::Splice>* splices) const;

  std::filesystem::path search_dir_;
  TemplateLimits limits_;
  mutable std::mutex mutex_;
  mutable std::map<std::string, std::shared_ptr<const detail::Template>, std::less<>> cache_;
  std::map<std::string, std::string, std::less<>> sources_;
};

}  // namespace kemora::pipeline::panogen::tmpl
