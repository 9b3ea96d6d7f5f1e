// The template engine against Python's Jinja2: every case of the corpus in
// data/templates/*.corpus is rendered by both and compared byte for byte;
// failures must agree too, down to the template and line reported.
#include "kemora/pipeline/panogen/template/template.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kemora/common/limits.hpp"

#include "kemora/common/process.hpp"
#include "test_support.hpp"

namespace kemora::pipeline::panogen::tmpl {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TempDir;
using test::write_text;

struct Case {
  std::string corpus;
  std::string name;
  bool expect_error = false;
  std::map<std::string, std::string> files;  // template name → text
  std::string inline_text;                   // the template when no file is named
  std::string context = "{}";
  std::string folder() const { return corpus + "-" + name; }
};

// "=== name [!error]" starts a case, "--- file" a template, "--- context" the
// JSON context; every line of a section keeps its line break.
std::vector<Case> read_corpus(const fs::path& path) {
  std::vector<Case> cases;
  std::istringstream in(read_text(path));
  std::string line;
  std::string* section = nullptr;
  while (std::getline(in, line)) {
    if (line.rfind("=== ", 0) == 0) {
      Case c;
      c.corpus = path.stem().string();
      std::istringstream words(line.substr(4));
      words >> c.name;
      std::string flag;
      c.expect_error = (words >> flag) && flag == "!error";
      cases.push_back(std::move(c));
      section = &cases.back().inline_text;
    } else if (!cases.empty() && line.rfind("--- ", 0) == 0) {
      std::string what = line.substr(4);
      if (what == "context") {
        cases.back().context.clear();
        section = &cases.back().context;
      } else {
        section = &cases.back().files[what];
      }
    } else if (section) {
      *section += line + "\n";
    }
  }
  for (auto& c : cases)
    if (c.files.empty()) c.files["main.j2"] = c.inline_text;
  return cases;
}

TemplateContext context_from_json(const std::string& text) {
  // Read as Python's json reads it: integers of any size stay exact.
  TemplateContext ctx = template_context_from_json_text(text);
  ctx.set("enumerate", template_enumerate());
  return ctx;
}

/// Cases that the corpus format cannot spell (carriage returns, no final
/// line break).
std::vector<Case> extra_cases() {
  std::vector<Case> cases;
  auto add = [&](std::string name, std::string text) {
    Case c;
    c.corpus = "extra";
    c.name = std::move(name);
    c.files["main.j2"] = std::move(text);
    cases.push_back(std::move(c));
  };
  add("crlf_newlines", "a\r\nb\rc{{ 'x\r\ny' }}\r\n{% if true %}\r\nd{% endif %}\r\n");
  add("no_trailing_newline", "x{{ 1 }}");
  add("two_trailing_newlines", "x\n\n");
  add("only_newline", "\n");
  add("empty", "");
  add("trailing_newline_after_tag", "{% if true %}y{% endif %}\n");
  add("strip_to_end", "a\n{{- 'b' -}}\n\n");
  return cases;
}

class TemplateOracleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new TempDir();
    cases_ = new std::vector<Case>(extra_cases());
    for (const auto& entry : fs::directory_iterator(fs::path(KEMORA_SOURCE_DIR) / "tests/panogen/data/templates"))
      if (entry.path().extension() == ".corpus")
        for (auto& c : read_corpus(entry.path())) cases_->push_back(std::move(c));
    for (const Case& c : *cases_) {
      for (const auto& [file, text] : c.files) write_text(root_->path() / c.folder() / file, text);
      write_text(root_->path() / c.folder() / "context.json", c.context);
    }
    auto r = common::run_process({test::system_python(),
                                  std::string(KEMORA_SOURCE_DIR) + "/tests/panogen/jinja_oracle.py",
                                  root_->path().string()});
    oracle_error_ = r.exit_status == 0 ? "" : "oracle failed: " + r.err;
  }
  static void TearDownTestSuite() {
    delete cases_;
    delete root_;
  }

  void SetUp() override { ASSERT_EQ(oracle_error_, ""); }

  /// Renders every case of `corpus` and compares with the oracle's result.
  void check_corpus(const std::string& corpus) {
    int checked = 0;
    for (const Case& c : *cases_) {
      if (c.corpus != corpus) continue;
      ++checked;
      SCOPED_TRACE("case " + c.folder());
      fs::path folder = root_->path() / c.folder();
      bool oracle_failed = fs::exists(folder / "err.txt");
      ASSERT_EQ(oracle_failed, c.expect_error)
          << "Jinja2 " << (oracle_failed ? "failed: " + read_text(folder / "err.txt") : "rendered")
          << " against the case's expectation";
      TemplateEnvironment env(folder);
      std::string ours;
      std::string our_error;
      try {
        ours = env.render("main.j2", context_from_json(c.context));
      } catch (const TemplateError& e) {
        our_error = e.what();
      }
      if (!oracle_failed) {
        EXPECT_EQ(our_error, "");
        EXPECT_EQ(ours, read_text(folder / "out.txt"));
        continue;
      }
      std::string oracle = read_text(folder / "err.txt");
      std::string where = oracle.substr(0, oracle.find('\n'));
      ASSERT_NE(our_error, "") << "Jinja2 failed (" << oracle << ") but we rendered: " << ours;
      EXPECT_EQ(our_error.substr(0, where.size() + 1), where + ":")
          << "ours: " << our_error << "\nJinja2: " << oracle;
    }
    EXPECT_GT(checked, 0) << "no cases in corpus " << corpus;
  }

  static inline TempDir* root_ = nullptr;
  static inline std::vector<Case>* cases_ = nullptr;
  static inline std::string oracle_error_;
};

TEST_F(TemplateOracleTest, ExpressionsPrintAsJinja2) { check_corpus("expressions"); }
TEST_F(TemplateOracleTest, FiltersAndTestsAsJinja2) { check_corpus("filters"); }
TEST_F(TemplateOracleTest, StatementsScopingWhitespaceIncludesAsJinja2) { check_corpus("statements"); }
TEST_F(TemplateOracleTest, SourceNewlinesAsJinja2) { check_corpus("extra"); }
TEST_F(TemplateOracleTest, MixedDashboardLikeCasesAsJinja2) { check_corpus("mixed"); }
TEST_F(TemplateOracleTest, IntegersOfAnySizeAndRealsAtTheEdgesAsJinja2) { check_corpus("numbers"); }
TEST_F(TemplateOracleTest, SequenceFiltersGeneratorsAndSlicesAsJinja2) { check_corpus("sequences"); }
TEST_F(TemplateOracleTest, TextFiltersPercentFormattingAndMethodsAsJinja2) { check_corpus("texts"); }
TEST_F(TemplateOracleTest, InheritanceIncludeListsRecursiveLoopsAutoescapeAsJinja2) { check_corpus("inheritance"); }
TEST_F(TemplateOracleTest, MacrosImportsAndBlocksAsJinja2) { check_corpus("macros"); }

// ---- errors for what the engine does not support ---------------------------

class TemplateErrorTest : public ::testing::Test {
 protected:
  /// Renders `text` as "page.html" and returns the error message ("" if none).
  std::string error_of(const std::string& text, const TemplateContext& ctx = {}) {
    write_text(dir_ / "page.html", text);
    try {
      TemplateEnvironment(dir_.path()).render("page.html", ctx);
    } catch (const TemplateError& e) {
      return e.what();
    }
    return "";
  }
  TempDir dir_;
};

TEST_F(TemplateErrorTest, UnsupportedConstructsNameTemplateLineAndConstruct) {
  EXPECT_EQ(error_of("a\n\n{% macro m(caller) %}x{% endmacro %}"),
            "page.html:3: a macro parameter named 'caller' is not supported");
  EXPECT_EQ(error_of("{% for x in l %}\n{% extends 'base.html' %}{% endfor %}"),
            "page.html:2: cannot use extend from a non top-level scope");
  EXPECT_EQ(error_of("x\n{{ v|wordwrap }}"), "page.html:2: unknown filter 'wordwrap'");
  EXPECT_EQ(error_of("{{ 3 is escaped }}"), "page.html:1: unknown test 'escaped'");
  EXPECT_EQ(error_of("{{ {'a': 1}[1:] }}"), "page.html:1: slicing a dict is not supported");
  EXPECT_EQ(error_of("{{ 'abc'[1:2, 3] }}"), "page.html:1: a slice in a tuple of subscripts is not supported");
  // Generators print with an address in Jinja2; what they hold is fine.
  EXPECT_EQ(error_of("{{ [1, 2]|map('string') }}"), "page.html:1: printing a value of type 'generator' is not supported");
  EXPECT_EQ(error_of("\n{{ [1]|reverse == [1]|reverse }}"),
            "page.html:2: comparing a list_reverseiterator is not supported");
  EXPECT_EQ(error_of("{{ [1, 2]|map('string')|list }}{{ [3]|reverse|join }}"), "");
  EXPECT_EQ(error_of("{{ '%a' % 1 }}"), "page.html:1: the %a conversion is not supported");
  EXPECT_EQ(error_of("{{ ('%s'|safe) % '<' }}"),
            "page.html:1: %-formatting of a safe (Markup) string is not supported");
  EXPECT_EQ(error_of("{{ '%f' % x }}", {{"x", std::numeric_limits<double>::infinity()}}),
            "page.html:1: %-formatting of inf or nan is not supported");
  EXPECT_EQ(error_of("{{ [x, 1.0]|sort }}", {{"x", std::nan("")}}),
            "page.html:1: sorting values that are or hold NaN is not supported");
  EXPECT_EQ(error_of("{{ '{0.a}'.format(m) }}"), "page.html:1: that field name in str.format is not supported");
  EXPECT_EQ(error_of("{{ x|wordcount }}", {{"x", "a 漢字"}}), "page.html:1: word boundaries at '漢' are not supported");
  EXPECT_EQ(error_of("{{ 'ᴀb'.title() }}"),
            "page.html:1: whether 'ᴀ' has a case (in Python's Unicode data) is not known here");
  EXPECT_EQ(error_of("{{ 'aᴀ' is lower }}"),
            "page.html:1: whether 'ᴀ' has a case (in Python's Unicode data) is not known here");
  EXPECT_EQ(error_of("{{ x|striptags }}", {{"x", "a &eacute;"}}),
            "page.html:1: striptags of a text with the character reference '&eacute' is not supported");
  EXPECT_EQ(error_of("\n{% set x, y %}ab{% endset %}"),
            "page.html:2: a block assignment to several names is not supported");
  EXPECT_EQ(error_of("{% set f = joiner %}\n{% call f() %}x{% endcall %}"),
            "page.html:2: a call block of something other than a macro is not supported");
  EXPECT_EQ(error_of("{% macro m() %}{% endmacro %}{{ m }}"),
            "page.html:1: printing a value of type 'function' is not supported");
  EXPECT_EQ(error_of("{% macro m() %}{% endmacro %}{{ m.defaults }}"),
            "page.html:1: the attribute 'defaults' of a macro is not supported");
  EXPECT_EQ(error_of("{{ namespace(a=1) }}"), "page.html:1: printing a value of type 'function' is not supported");
  // Jinja2 fails where it joins the output, without naming a line.
  EXPECT_EQ(error_of("x\n{% filter length %}abc{% endfilter %}"),
            "page.html:2: a filter block whose filters give a int (Jinja2 fails: expected str instance)");
  // Jinja2 reaches Python's recursion limit at about 200 nested calls.
  EXPECT_EQ(error_of("{% macro m(n) %}{% if n %}{{ m(n - 1) }}{% endif %}{% endmacro %}\n{{ m(79) }}"), "");
  EXPECT_EQ(error_of("{% macro m(n) %}{% if n %}{{ m(n - 1) }}{% endif %}{% endmacro %}\n{{ m(80) }}"),
            "page.html:1: macro calls nested more than 80 deep (Jinja2 reaches Python's recursion limit near there; "
            "not supported)");
  // The expressions around a recursive call count: each call adds them.
  std::string sum;
  for (int i = 0; i < 200; ++i) sum += " + 1";
  EXPECT_EQ(error_of("{% macro m(n) %}{% if n %}{{ m(n - 1)|int" + sum + " }}{% else %}0{% endif %}{% endmacro %}\n{{ m(1) }}"), "");
  EXPECT_EQ(error_of("{% macro m(n) %}{% if n %}{{ m(n - 1)|int" + sum + " }}{% else %}0{% endif %}{% endmacro %}\n{{ m(5) }}"),
            "page.html:1: too deeply nested (more than 512 levels)");
  // A macro that uses a name its template sets only after the macro: Jinja2
  // sees it undefined until that set runs, not the context's value.
  EXPECT_EQ(error_of("{% macro m() %}{{ x }}{% endmacro %}\n{{ m() }}{% set x = 1 %}", {{"x", 5}}),
            "page.html:2: 'x' is used in a loop or macro on line 1 before the {% set %} of it in the scope around that "
            "loop (Jinja2 leaves it undefined there; not supported)");
  EXPECT_EQ(error_of("\n{% autoescape x %}{% endautoescape %}"),
            "page.html:2: {% autoescape %} of a value known only when rendering is not supported");
  EXPECT_EQ(error_of("{{ {1: 2} }}"), "page.html:1: dict keys other than strings are not supported");
  EXPECT_EQ(error_of("{{ enumerate(l, start=1) }}", {{"enumerate", template_enumerate()}}),
            "page.html:1: keyword arguments in calls are not supported");
  // Jinja2 prints these with an address, or (a name set after a loop that
  // uses it) leaves the name undefined in the loop: refused, never rendered.
  EXPECT_EQ(error_of("{% for x in [1] %}{{ loop }}{% endfor %}"),
            "page.html:1: printing a value of type 'LoopContext' is not supported");
  EXPECT_EQ(error_of("{{ x.upper }}", {{"x", "a"}}), "page.html:1: printing a value of type 'function' is not supported");
  EXPECT_EQ(error_of("{{ x.upper.y }}", {{"x", "a"}}), "");
  EXPECT_EQ(error_of("{{ (5).real }}"), "page.html:1: the attribute 'real' of a int is not supported");
  EXPECT_EQ(error_of("\n{% for i in [1] %}{{ m }}{% endfor %}{% set m = 1 %}", {{"m", 5}}),
            "page.html:2: 'm' is used in a loop or macro on line 2 before the {% set %} of it in the scope around that loop "
            "(Jinja2 leaves it undefined there; not supported)");
  // Jinja2 writes a generator's address (macros, call blocks) or the included
  // text past the block (set, filter blocks) for these.
  EXPECT_EQ(error_of("{% macro m() %}\n{% include 'a.html' without context %}{% endmacro %}"),
            "page.html:2: an include without context inside a macro, call, set or filter block is not supported");
  EXPECT_EQ(error_of("{% set x %}{% include 'a.html' without context %}{% endset %}"),
            "page.html:1: an include without context inside a macro, call, set or filter block is not supported");
  // A loop's else does not see the loop's targets: its `x` is the one around.
  EXPECT_EQ(error_of("{% for x in [] recursive %}{% else %}{{ x }}{% endfor %}{% set x = 2 %}", {{"x", 5}}),
            "page.html:1: 'x' is used in a loop or macro on line 1 before the {% set %} of it in the scope around that "
            "loop (Jinja2 leaves it undefined there; not supported)");
  EXPECT_EQ(error_of("{{ ' ٣ '|int }}"), "page.html:1: int() of a text with characters other than ASCII is not supported");
  EXPECT_EQ(error_of("{{ 'İ3'|int }}{{ '3😀'|float }}"), "");
  // Case mappings Python does with more than one character or by context.
  EXPECT_EQ(error_of("{{ x|upper }}", {{"x", "aﬁ"}}),
            "page.html:1: upper case of 'ﬁ' (several characters in Python) is not supported");
  EXPECT_EQ(error_of("{{ x.lower() }}", {{"x", "ΑΣ"}}),
            "page.html:1: lower case of a text with 'Σ' (final or not by context in Python) is not supported");
  EXPECT_EQ(error_of("{{ x|upper }}{{ x|lower }}", {{"x", "İıŞşĞğ ß"}}), "");
  EXPECT_EQ(error_of("{{ '\\udc00' }}"),
            "page.html:1: a surrogate escape (\\ud800..\\udfff) in a string is not supported");
  EXPECT_EQ(error_of("{% set y = 1e400 %}"),
            "page.html:1: a constant expression that is or holds inf inside another expression or in a statement (Jinja2 "
            "fails on it: name 'inf' is not defined)");
  EXPECT_EQ(error_of("{{ 2 ** 20000 }}"),
            "page.html:1: integer result too large (integers are exact up to 14000 bits)");
}

TEST_F(TemplateErrorTest, SyntaxErrorsNameTheLine) {
  EXPECT_EQ(error_of("a\nb\n{% for x in l %}\n{{ x }}"), "page.html:4: unexpected end of template, expected 'endfor' or 'else'");
  EXPECT_EQ(error_of("{{ 'open }}"), "page.html:1: unterminated string");
  EXPECT_EQ(error_of("\n{# never closed"), "page.html:2: missing end of comment tag");
  EXPECT_EQ(error_of("{% raw %}x"), "page.html:1: missing end of raw directive");
  EXPECT_EQ(error_of("{{ 1 + }}"), "page.html:1: unexpected 'end of print statement'");
  EXPECT_EQ(error_of("x\n{% endif %}"), "page.html:2: unexpected 'endif'");
}

TEST_F(TemplateErrorTest, RuntimeErrorsInIncludesNameTheIncludedTemplate) {
  write_text(dir_ / "part.html", "ok\n{{ missing.attr }}");
  EXPECT_EQ(error_of("{% include 'part.html' %}"), "part.html:2: 'missing' is undefined");
  EXPECT_EQ(error_of("{{ m.a.b }}", {{"m", TemplateMap{{"x", 1}}}}), "page.html:1: 'dict object' has no attribute 'a'");
}

TEST_F(TemplateErrorTest, ErrorsInBlocksNameTheTemplateThatHoldsTheBlock) {
  write_text(dir_ / "base.html", "<\n{% block a %}{{ 1 // 0 }}{% endblock %}\n{% block b %}{% endblock %}>");
  EXPECT_EQ(error_of("{% extends 'base.html' %}{% block a %}{% endblock %}{% block b %}{{ super() }}\n{{ nope.x }}{% endblock %}"),
            "page.html:2: 'nope' is undefined");
  EXPECT_EQ(error_of("{% extends 'base.html' %}{% block b %}\n{{ super() }}{% endblock %}"),
            "base.html:2: integer division or modulo by zero");
  // The base is rendered after the child's top level: an error there names it.
  write_text(dir_ / "mid.html", "{% extends 'base.html' %}\n{% set x = [] %}{% set y = x.z.w %}");
  EXPECT_EQ(error_of("{% extends 'mid.html' %}{% block a %}{% endblock %}"), "mid.html:2: 'list object' has no attribute 'z'");
}

TEST_F(TemplateErrorTest, EndlessInheritanceAndRecursionEndInAnError) {
  write_text(dir_ / "loop.html", "{% extends 'page.html' %}");
  // The 512th template of the chain, loop.html, is the one refused.
  EXPECT_EQ(error_of("{% extends 'loop.html' %}"), "loop.html:1: templates extending templates more than 512 levels deep");
  EXPECT_EQ(error_of("{% block a %}\n{{ self.b() }}{% endblock %}{% block b %}{{ self.a() }}{% endblock %}"),
            "page.html:2: " + std::string(common::kTooDeeplyNested));
  EXPECT_EQ(error_of("x\n{% for x in [1] recursive %}{{ loop([x]) }}{% endfor %}"),
            "page.html:2: " + std::string(common::kTooDeeplyNested));
  // Calls that call each other twice, without loops or text: the step budget ends them.
  {
    write_text(dir_ / "twice.html", "{% block a %}{{ self.a() }}{{ self.a() }}{% endblock %}");
    TemplateEnvironment env(dir_.path(), TemplateLimits{.max_steps = 10'000});
    EXPECT_THROW(env.render("twice.html", {}), TemplateError);
    write_text(dir_ / "twice_loop.html", "{% for x in [1] recursive %}{{ loop([x]) }}{{ loop([x]) }}{% endfor %}");
    EXPECT_THROW(env.render("twice_loop.html", {}), TemplateError);
  }
  // A deep tree within the limit renders; each level is one more loop.depth.
  TemplateMap node{{"n", 0}};
  for (int i = 1; i <= 40; ++i) node = TemplateMap{{"n", i}, {"c", TemplateValue(TemplateValue::List{TemplateValue(node)})}};
  TemplateEnvironment env(dir_.path());
  write_text(dir_ / "tree.html", "{% for x in [t] recursive %}{{ loop.depth }}{{ loop(x.c|default([])) }}{% endfor %}");
  std::string expected;
  for (int i = 1; i <= 41; ++i) expected += std::to_string(i);
  EXPECT_EQ(env.render("tree.html", {{"t", TemplateValue(node)}}), expected);
}

TEST_F(TemplateErrorTest, MissingTemplateNamesFolderAndName) {
  TemplateEnvironment env(dir_.path());
  try {
    env.render("absent.html", {});
    FAIL() << "no error";
  } catch (const TemplateNotFound& e) {
    EXPECT_EQ(std::string(e.what()),
              "template 'absent.html' not found in search folder '" + dir_.path().string() + "'");
  }
  write_text(dir_.path().parent_path() / "outside.html", "x");
  EXPECT_THROW(env.render("../outside.html", {}), TemplateNotFound);
  fs::remove(dir_.path().parent_path() / "outside.html");
}

// ---- hostile templates: nesting, numbers, work ------------------------------

std::string repeat_text(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

/// One template shape nested `n` levels deep, and what Jinja2 prints for it.
struct Shape {
  std::string name;
  std::function<std::string(int)> text;
  std::function<std::string(int)> jinja2_output;  // empty: not compared at the limit
};

std::vector<Shape> nesting_shapes() {
  auto r = repeat_text;
  return {
      {"parentheses", [=](int n) { return "{{ " + r("(", n) + "1" + r(")", n) + " }}"; }, [](int) { return "1"; }},
      {"not", [=](int n) { return "{{ " + r("not ", n) + "1 }}"; },
       [](int n) { return n % 2 ? "False" : "True"; }},
      {"unary_minus", [=](int n) { return "{{ " + r("-", n) + "1 }}"; }, [](int n) { return n % 2 ? "-1" : "1"; }},
      {"filter_chain", [=](int n) { return "{{ 'a'" + r("|upper", n) + " }}"; }, [](int) { return "A"; }},
      {"attribute_chain", [=](int n) { return "{{ m" + r(".a", n) + " }}"; }, nullptr},
      {"subscript_chain", [=](int n) { return "{{ deep" + r("[0]", n) + " }}"; }, nullptr},
      {"call_chain", [=](int n) { return "{{ m" + r("()", n) + " }}"; }, nullptr},
      {"list_literal", [=](int n) { return "{{ " + r("[", n) + r("]", n) + " }}"; },
       [=](int n) { return r("[", n) + r("]", n); }},
      {"dict_literal", [=](int n) { return "{{ " + r("{'a': ", n) + "1" + r("}", n) + " }}"; },
       [=](int n) { return r("{'a': ", n) + "1" + r("}", n); }},
      {"plus_chain", [=](int n) { return "{{ 1" + r(" + 1", n) + " }}"; },
       [](int n) { return std::to_string(n + 1); }},
      {"inline_if_chain", [=](int n) { return "{{ 1" + r(" if 1 else 1", n) + " }}"; }, [](int) { return "1"; }},
      {"and_chain", [=](int n) { return "{{ 1" + r(" and 1", n) + " }}"; }, [](int) { return "1"; }},
      {"if_blocks", [=](int n) { return r("{% if 1 %}", n) + "x" + r("{% endif %}", n); }, [](int) { return "x"; }},
      {"for_blocks", [=](int n) { return r("{% for a in [1] %}", n) + "x" + r("{% endfor %}", n); },
       [](int) { return "x"; }},
      {"else_blocks", [=](int n) { return r("{% if 0 %}{% else %}", n) + "x" + r("{% endif %}", n); },
       [](int) { return "x"; }},
      // Blocks and the expression inside them add up: 256 + 256 levels.
      {"blocks_around_expression",
       [=](int n) { return r("{% if 1 %}", n / 2) + "{{ " + r("(", n - n / 2) + "1" + r(")", n - n / 2) + " }}" +
                           r("{% endif %}", n / 2); },
       [](int) { return "1"; }},
  };
}

/// A list nested `n` levels deep around 7 (a value at the nesting limit).
TemplateValue nested_list(int n) {
  TemplateValue v(7);
  for (int i = 0; i < n; ++i) v = TemplateValue(TemplateValue::List{v});
  return v;
}

class TemplateNestingTest : public TemplateErrorTest {
 protected:
  static constexpr int kLimit = common::kMaxNesting;
  static std::string too_deep(int line = 1) {
    return "page.html:" + std::to_string(line) + ": " + common::kTooDeeplyNested;
  }
  TemplateContext ctx() { return {{"m", TemplateMap{}}, {"deep", nested_list(kLimit)}}; }
  /// Renders `text` as "page.html"; the output, or the error message.
  std::string render_or_error(const std::string& text, const TemplateContext& c) {
    write_text(dir_ / "page.html", text);
    try {
      return TemplateEnvironment(dir_.path()).render("page.html", c);
    } catch (const TemplateError& e) {
      return std::string("error: ") + e.what();
    }
  }
};

TEST_F(TemplateNestingTest, EveryShapeJustOverTheLimitIsTooDeeplyNested) {
  for (const Shape& shape : nesting_shapes()) {
    SCOPED_TRACE(shape.name);
    EXPECT_EQ(error_of(shape.text(kLimit + 1), ctx()), too_deep());
    // Far beyond the limit: the same error, no stack overflow.
    EXPECT_EQ(error_of(shape.text(100'000), ctx()), too_deep());
  }
}

TEST_F(TemplateNestingTest, EveryShapeAtTheLimitRendersAsJinja2) {
  for (const Shape& shape : nesting_shapes()) {
    SCOPED_TRACE(shape.name);
    std::string result = render_or_error(shape.text(kLimit), ctx());
    EXPECT_EQ(result.find("too deeply"), std::string::npos) << result;
    if (shape.jinja2_output) {
      EXPECT_EQ(result, shape.jinja2_output(kLimit));
    }
  }
}

TEST_F(TemplateNestingTest, ShapesAtTheLimitRenderOnAWorkerThread) {
  // Renders may run on threads other than the main one; they get the
  // default thread stack.
  std::vector<std::string> results;
  std::vector<Shape> shapes = nesting_shapes();
  std::vector<std::string> texts;
  for (const Shape& shape : shapes) texts.push_back(shape.text(kLimit));
  TemplateContext c = ctx();
  std::thread worker([&] {
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      write_text(dir_ / ("t" + std::to_string(i) + ".html"), texts[i]);
      try {
        results.push_back(TemplateEnvironment(dir_.path()).render("t" + std::to_string(i) + ".html", c));
      } catch (const TemplateError& e) {
        results.push_back(std::string("error: ") + e.what());
      }
    }
  });
  worker.join();
  for (std::size_t i = 0; i < shapes.size(); ++i)
    if (shapes[i].jinja2_output) {
      EXPECT_EQ(results[i], shapes[i].jinja2_output(kLimit)) << shapes[i].name;
    }
}

TEST_F(TemplateNestingTest, NestingErrorNamesTheLineWhereTheLimitIsPassed) {
  std::string text = "a\nb\n" + repeat_text("{% if 1 %}\n", 600) + "x" + repeat_text("{% endif %}", 600);
  // The 513th block opens on line 2 + 513.
  EXPECT_EQ(error_of(text), too_deep(2 + kLimit + 1));
  EXPECT_EQ(error_of("\n\n{{ x" + repeat_text("|upper", 600) + " }}"), too_deep(3));
}

TEST_F(TemplateNestingTest, TemplateIncludingItselfIsTooDeeplyNested) {
  write_text(dir_ / "self.html", "x{% include 'self.html' %}");
  EXPECT_EQ(error_of("a\n{% include 'self.html' %}"), "self.html:1: " + std::string(common::kTooDeeplyNested));
  // Via another template, inside blocks: include depth and block depth add up.
  write_text(dir_ / "a.html", "{% if true %}\n{% for i in [1] %}{% include 'b.html' %}{% endfor %}{% endif %}");
  write_text(dir_ / "b.html", "b{% include 'a.html' %}");
  std::string err = error_of("{% include 'a.html' %}");
  EXPECT_TRUE(err == "a.html:2: " + std::string(common::kTooDeeplyNested) ||
              err == "b.html:1: " + std::string(common::kTooDeeplyNested))
      << err;
}

TEST_F(TemplateNestingTest, IncludedTemplateDepthAddsToTheIncludersDepth) {
  // 300 levels in the included template, 300 blocks around the include.
  write_text(dir_ / "part.html", "{{ " + repeat_text("(", 300) + "1" + repeat_text(")", 300) + " }}");
  std::string around = repeat_text("{% if 1 %}", 300) + "{% include 'part.html' %}" + repeat_text("{% endif %}", 300);
  EXPECT_EQ(error_of(around), too_deep());
  std::string fewer = repeat_text("{% if 1 %}", 200) + "{% include 'part.html' %}" + repeat_text("{% endif %}", 200);
  EXPECT_EQ(render_or_error(fewer, {}), "1");
}

TEST_F(TemplateNestingTest, ValuesBuiltDeeperThanTheLimitAreAnErrorNamingTheLine) {
  std::string sets = "{% set v = 1 %}\n" + repeat_text("{% set v = [v] %}\n", 600) + "{{ v }}";
  EXPECT_EQ(error_of(sets), too_deep(1 + kLimit + 1));
  EXPECT_EQ(error_of("x\n{{ [deep] }}", ctx()), too_deep(2));
  EXPECT_THROW(nested_list(kLimit + 1), std::length_error);
}

TEST_F(TemplateNestingTest, ContextValuesAtTheLimitPrintCompareAndLoop) {
  // The JSON reader allows 512 levels; such a value renders in every way.
  std::string json = "{\"v\": " + repeat_text("[", kLimit) + repeat_text("]", kLimit) + ", \"w\": " +
                     repeat_text("{\"a\": ", kLimit) + "1" + repeat_text("}", kLimit) + "}";
  TemplateContext c = context_from_json(json);
  std::string list_text = repeat_text("[", kLimit) + repeat_text("]", kLimit);
  EXPECT_EQ(render_or_error("{{ v }}", c), list_text);
  EXPECT_EQ(render_or_error("{{ v|tojson }}", c), list_text);
  EXPECT_EQ(render_or_error("{{ w|tojson|length }}|{{ w|string|length }}", c),
            std::to_string(7 * kLimit + 1) + "|" + std::to_string(7 * kLimit + 1));
  EXPECT_EQ(render_or_error("{{ v == v }}{{ v == [v[0]] }}{{ w == w }}{{ v[0] in v }}", c), "TrueTrueTrueTrue");
  EXPECT_EQ(render_or_error("{% for e in v %}{{ e|length }}{% endfor %}{{ v|first|first|length }}", c), "11");
  rapidjson::Document deeper;
  std::string too_deep_json = repeat_text("[", kLimit + 1) + repeat_text("]", kLimit + 1);
  deeper.Parse(too_deep_json.c_str());
  ASSERT_FALSE(deeper.HasParseError());
  EXPECT_THROW(template_value_from_json(deeper), std::length_error);
}

// Integers are exact up to 14000 bits (what Jinja2 gives for them is in the
// oracle corpus); beyond, every way of making one is an error naming the line.
TEST_F(TemplateErrorTest, IntegersBeyondTheExactRangeNameTemplateAndLine) {
  const std::string digits(4300, '9');
  EXPECT_EQ(error_of("a\n{{ " + digits + " }}"),
            "page.html:2: integer literal too large (integers are exact up to 14000 bits)");
  EXPECT_EQ(error_of("{{ x[" + digits + "] }}", {{"x", TemplateValue::List{1}}}),
            "page.html:1: integer literal too large (integers are exact up to 14000 bits)");
  EXPECT_EQ(error_of("{{ [1].9223372036854775807 }}|{{ 9_223_372_036_854_775_807 }}|{{ 99999999999999999999 }}"), "");
  const std::string too_large = "integer result too large (integers are exact up to 14000 bits)";
  EXPECT_EQ(error_of("\n{{ s|int }}", {{"s", std::string(4300, '7')}}), "page.html:2: " + too_large);
  EXPECT_EQ(error_of("{{ 2 ** 13999 * 4 }}"), "page.html:1: " + too_large);
  EXPECT_EQ(error_of("{{ -(2 ** 13999) - 2 ** 13999 }}"), "page.html:1: " + too_large);
  EXPECT_EQ(error_of("{{ (2 ** 13999 - 1) * 2 + 1 }}"), "");
  EXPECT_EQ(error_of("{{ x|int }}", {{"x", std::numeric_limits<double>::infinity()}}),
            "page.html:1: cannot convert float infinity to integer");
  EXPECT_EQ(error_of("{{ (2 ** 1024) / 1 }}"), "page.html:1: integer division result too large for a float");
  EXPECT_EQ(error_of("{{ 2 ** 1024 + 0.5 }}"), "page.html:1: int too large to convert to float");
  EXPECT_EQ(error_of("{{ 1.5|round(9223372036854775807) }}{{ 15|round(-9223372036854775807) }}"), "");
}

TEST_F(TemplateErrorTest, RangeNearTheInt64EndsAndTooLongRanges) {
  write_text(dir_ / "r.html", "{{ range(9223372036854775800, 9223372036854775807, 5)|list }}|"
                              "{{ range(-9223372036854775807 - 1, -9223372036854775807 + 1)|list }}|"
                              "{{ range(-9223372036854775807, -9223372036854775807 - 1, -1)|list }}");
  EXPECT_EQ(TemplateEnvironment(dir_.path()).render("r.html", {}),
            "[9223372036854775800, 9223372036854775805]|[-9223372036854775808, -9223372036854775807]|"
            "[-9223372036854775807]");
  EXPECT_EQ(error_of("\n{{ range(10**9)|length }}"), "page.html:2: range too long (more than 100000 items)");
  EXPECT_EQ(error_of("{{ range(-9223372036854775807 - 1, 9223372036854775807)|length }}"),
            "page.html:1: range too long (more than 100000 items)");
  EXPECT_EQ(error_of("{{ range(100000)|length }}"), "");
}

TEST_F(TemplateErrorTest, WorkBeyondTheLimitsIsAnErrorNamingTheLine) {
  const std::string text = std::string("page.html:2: ") +
                           "too much text: the render wrote or built more than its byte budget (TemplateLimits::max_bytes)";
  EXPECT_EQ(error_of("\n{{ ('x' * 10**18)|length }}"), text);
  EXPECT_EQ(error_of("\n{{ ([1] * 10**17)|length }}"), text);

  TemplateLimits few_steps{.max_steps = 1000, .max_bytes = 1 << 20, .max_range = 100'000};
  TemplateLimits few_bytes{.max_steps = 1000, .max_bytes = 10'000, .max_range = 100'000};
  write_text(dir_ / "loops.html", "a\n{% for i in range(100) %}{% for j in range(100) %}{% endfor %}{% endfor %}");
  write_text(dir_ / "out.html", "a\n{% for i in range(100) %}{{ 'y' * 200 }}{% endfor %}");
  std::string doubling = "{% set x = 'ab' %}\n";
  for (int i = 0; i < 40; ++i) doubling += "{% set x = x ~ x %}";
  write_text(dir_ / "doubling.html", doubling);
  try {
    TemplateEnvironment(dir_.path(), few_bytes).render("doubling.html", {});
    ADD_FAILURE() << "no error";
  } catch (const TemplateError& e) {
    EXPECT_EQ(std::string(e.what()), "doubling.html" + text.substr(9));
  }
  TemplateEnvironment env(dir_.path(), few_steps);
  try {
    env.render("loops.html", {});
    ADD_FAILURE() << "no error";
  } catch (const TemplateError& e) {
    EXPECT_EQ(std::string(e.what()),
              "loops.html:2: too much work: more than 1000 loop iterations and comparisons in one render "
              "(TemplateLimits::max_steps)");
  }
  try {
    TemplateEnvironment(dir_.path(), few_bytes).render("out.html", {});
    ADD_FAILURE() << "no error";
  } catch (const TemplateError& e) {
    EXPECT_EQ(std::string(e.what()).substr(0, 13), "out.html:2: t");
  }
}

TEST_F(TemplateErrorTest, FilterArgumentsAskingForHugeWorkAreAnErrorNamingTheLine) {
  TemplateLimits small{.max_steps = 100'000, .max_bytes = 4 << 20, .max_range = 100'000};
  const std::string steps = "too much work: more than 100000 loop iterations and comparisons in one render "
                            "(TemplateLimits::max_steps)";
  const std::string bytes =
      "too much text: the render wrote or built more than its byte budget (TemplateLimits::max_bytes)";
  auto run = [&](const std::string& source) {
    TemplateEnvironment env("", small);
    env.add_source("t.html", source);
    try {
      env.render("t.html", {});
    } catch (const TemplateError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(run("\n{{ [1]|batch(10**9, 0)|list|length }}"), "t.html:2: " + bytes);
  EXPECT_EQ(run("\n{{ [1]|slice(10**12)|list|length }}"), "t.html:2: " + steps);
  EXPECT_EQ(run("\n{{ 'x\\ny'|indent(10**12) }}"), "t.html:2: " + bytes);
  EXPECT_EQ(run("{{ range(5000)|unique|list|length }}"), "t.html:1: " + steps);
  EXPECT_EQ(run("{{ range(20000)|reverse|sort|first }}"), "t.html:1: " + steps);
  EXPECT_EQ(run("{{ '%*d' % (10**9, 1) }}"), "t.html:1: a width or precision this large is not supported");
  EXPECT_EQ(run("{{ '{:2000000}'.format(1) }}"), "t.html:1: a format width or precision this large is not supported");
  EXPECT_EQ(run("{{ ('ab' * 300000).split('a')|length }}"), "t.html:1: " + bytes);
  // map running map running map ... over lists nested as deep: an error, not a deep stack.
  std::string nested = std::string(100, '[') + "1" + std::string(100, ']');
  std::string maps;
  for (int i = 0; i < 99; ++i) maps += "'map', ";
  EXPECT_NE(run("{{ " + nested + "|map(" + maps + "'string')|list }}"), "");
  // Within the limits the same filters give their results.
  EXPECT_EQ(run("{{ range(300)|unique|list|length }}{{ range(300)|reverse|sort|first }}"), "");
}

TEST_F(TemplateErrorTest, OnlyTemplateErrorsLeaveRender) {
  TemplateContext c;
  c.set("f", TemplateValue::function([](const TemplateValue::List&) -> TemplateValue { throw std::out_of_range("boom"); }));
  c.set("g", TemplateValue::function([](const TemplateValue::List&) -> TemplateValue { throw 42; }));
  EXPECT_EQ(error_of("x\n{{ f() }}", c), "page.html:2: boom");
  EXPECT_EQ(error_of("x\n\n{{ g() }}", c), "page.html:3: unknown error");
}

TEST(TemplateEnvironmentTest, SourcesInMemoryNeedNoFiles) {
  TemplateEnvironment env("");
  env.add_source("main.j2", "[{% include 'part.j2' %}]");
  env.add_source("part.j2", "{{ 1 + 1 }}");
  EXPECT_EQ(env.render("main.j2", {}), "[2]");
  EXPECT_THROW(env.render("other.j2", {}), TemplateNotFound);
}

// ---- the value and environment contract -----------------------------------

TEST(TemplateValueTest, StringsAreSharedNotCopied) {
  auto big = std::make_shared<const std::string>(std::string(1 << 20, 'x'));
  TemplateValue v(big);
  TemplateValue in_list(TemplateValue::List{v, v});
  TemplateMap map;
  map.set("chunk", v);
  EXPECT_EQ(v.as_string().data(), big->data());
  EXPECT_EQ(in_list.as_list()[1].as_string().data(), big->data());
  EXPECT_EQ(map.find("chunk")->as_string().data(), big->data());

  std::string long_text(1000, 'y');
  const char* data = long_text.data();
  TemplateValue moved(std::move(long_text));
  EXPECT_EQ(moved.as_string().data(), data);
}

TEST(TemplateValueTest, MapKeepsInsertionOrderAndReplacesInPlace) {
  TemplateMap m;
  for (int i = 20; i > 0; --i) m.set("k" + std::to_string(i), i);
  m.set("k15", "replaced");
  EXPECT_EQ(m.size(), 20u);
  EXPECT_EQ(m.begin()->first, "k20");
  EXPECT_EQ((m.begin() + 5)->second.str(), "replaced");
  EXPECT_EQ(m.find("k1")->as_int(), 1);
  EXPECT_EQ(m.find("nope"), nullptr);
}

TEST(TemplateValueTest, JsonConversionKeepsOrderAndTypes) {
  rapidjson::Document doc;
  doc.Parse(R"({"z": 1, "a": [1.0, "ş", null, true, 9223372036854775807], "m": {"y": {}, "b": -2}})");
  TemplateValue v = template_value_from_json(doc);
  EXPECT_EQ(v.str(), "{'z': 1, 'a': [1.0, 'ş', None, True, 9223372036854775807], 'm': {'y': {}, 'b': -2}}");
}

TEST(TemplateEnvironmentTest, RenderAppendsAndReusesParsedTemplate) {
  TempDir dir;
  write_text(dir / "t.html", "{% for c in chunks %}<{{ c }}>{% endfor %}\n");
  TemplateEnvironment env(dir.path());
  TemplateContext ctx;
  ctx.set("chunks", TemplateValue::List{"[1]", "[2,3]"});
  std::string out = "head:";
  env.render("t.html", ctx, out);
  EXPECT_EQ(out, "head:<[1]><[2,3]>");
  write_text(dir / "t.html", "changed");  // parsed once: the file is not read again
  EXPECT_EQ(env.render("t.html", ctx), "<[1]><[2,3]>");
}

// Bytes that are not UTF-8 in a template went into the page as they were.
TEST(TemplateEnvironmentTest, TemplateThatIsNotUtf8IsAnErrorNamingItsLine) {
  TemplateEnvironment env("");
  env.add_source("page.j2", "ok\nstill ok\nA\xff" "B {{ 1 }}");
  env.add_source("part.j2", "\xed\xa0\x80");
  env.add_source("main.j2", "{% include 'part.j2' %}");
  try {
    env.render("page.j2", {});
    ADD_FAILURE() << "no error";
  } catch (const TemplateError& e) {
    EXPECT_EQ(std::string(e.what()), "page.j2:3: not valid UTF-8 at byte 13");
  }
  EXPECT_THROW(env.render("main.j2", {}), TemplateError);
}

/// A deferred text that counts how often it is made.
class CountedText : public TemplateText {
 public:
  explicit CountedText(std::string text) : text_(std::move(text)) {}
  std::size_t size() const override { return text_.size(); }
  void write(std::string& out) const override {
    ++made;
    out += text_;
  }
  mutable int made = 0;

 private:
  std::string text_;
};

TEST(TemplateEnvironmentTest, DeferredTextsAreWrittenWhereTheyStandAndMadeOnlyWhenNeeded) {
  TemplateEnvironment env("");
  env.add_source("page.j2", "<{% for c in chunks %}{{ c }}|{% endfor %}{% include 'part.j2' %}>");
  env.add_source("part.j2", "{{ chunks[1] }}");
  env.add_source("uses.j2", "{{ chunks[0]|length }} {{ chunks[0] ~ '!' }} {% if chunks[2] %}t{% else %}f{% endif %}");
  auto a = std::make_shared<CountedText>("[1,2]");
  auto b = std::make_shared<CountedText>("[\"x\"]");
  auto empty = std::make_shared<CountedText>("");
  TemplateContext ctx;
  ctx.set("chunks", TemplateValue::List{TemplateValue::deferred(a), TemplateValue::deferred(b), TemplateValue::deferred(empty)});

  const std::string whole = env.render("page.j2", ctx);
  EXPECT_EQ(whole, "<[1,2]|[\"x\"]||[\"x\"]>");
  TemplatePage page;
  env.render("page.j2", ctx, page);
  EXPECT_EQ(page.text, "<|||>");  // the texts stay out of the page
  ASSERT_EQ(page.splices.size(), 4u);
  EXPECT_EQ(page.splices[3].at, 4u);
  std::string pieces;
  a->made = b->made = 0;
  page.write_pieces([&](std::string_view piece) { pieces += piece; });
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(a->made + b->made, 3);  // each splice made once, as it is written

  // An expression that needs the characters has them made once and kept; a
  // test of truth needs only the size.
  a->made = empty->made = 0;
  EXPECT_EQ(env.render("uses.j2", ctx), "5 [1,2]! f");
  EXPECT_EQ(a->made, 1);
  EXPECT_EQ(empty->made, 0);

  // A deferred text counts towards the render's byte limit.
  TemplateEnvironment limited("", TemplateLimits{.max_bytes = 8});
  limited.add_source("page.j2", "{% for c in chunks %}{{ c }}{% endfor %}");
  TemplatePage small;
  EXPECT_THROW(limited.render("page.j2", ctx, small), TemplateError);
}

TEST(TemplateEnvironmentTest, DeferredTextsInBlocksAndRecursiveLoops) {
  TemplateEnvironment env("");
  // Blocks write where they stand (splices stay spliced); what self.name(),
  // super() and loop() give is text, with the deferred texts in it.
  env.add_source("base.j2", "<{% block a %}{{ chunks[0] }}{% endblock %}|{% block b %}B{% endblock %}>");
  env.add_source("page.j2",
                 "{% extends 'base.j2' %}{% block b %}{{ chunks[1] }}{{ super() }}{{ self.a()|length }}"
                 "{% for c in [chunks] recursive %}({{ c[0] if c is string else loop(c) }}){% endfor %}{% endblock %}");
  auto a = std::make_shared<CountedText>("[1,2]");
  auto b = std::make_shared<CountedText>("xy");
  TemplateContext ctx;
  ctx.set("chunks", TemplateValue::List{TemplateValue::deferred(a), TemplateValue::deferred(b)});
  const std::string whole = env.render("page.j2", ctx);
  EXPECT_EQ(whole, "<[1,2]|xyB5(([)(x))>");
  TemplatePage page;
  env.render("page.j2", ctx, page);
  EXPECT_EQ(page.text, "<|B5(([)(x))>");
  ASSERT_EQ(page.splices.size(), 2u);
  EXPECT_EQ(page.splices[1].at, 2u);
  std::string pieces;
  page.write_pieces([&](std::string_view piece) { pieces += piece; });
  EXPECT_EQ(pieces, whole);
}

// ---- values -------------------------------------------------------------------

TEST(TemplateValueTest, AWrongAccessorThrowsAndNeverReadsAnotherKind) {
  const TemplateValue s("abc"), i(7), d(2.5), l(TemplateValue::List{1, 2}), n = TemplateValue::none();
  EXPECT_THROW(s.as_int(), TemplateValue::BadAccess);
  EXPECT_THROW(s.as_list(), TemplateValue::BadAccess);
  EXPECT_THROW(i.as_double(), TemplateValue::BadAccess);
  EXPECT_THROW(i.as_string(), TemplateValue::BadAccess);
  EXPECT_THROW(d.as_int(), TemplateValue::BadAccess);
  EXPECT_THROW(l.as_map(), TemplateValue::BadAccess);
  EXPECT_THROW(n.as_bool(), TemplateValue::BadAccess);
  EXPECT_THROW(n.as_function(), TemplateValue::BadAccess);
  EXPECT_THROW(i.as_safe(), TemplateValue::BadAccess);
  EXPECT_EQ(TemplateValue(true).as_int(), 1);
  // Beyond 64 bits an integer is still an Int, read whole with as_bigint.
  const TemplateValue big(18446744073709551615ull);
  EXPECT_EQ(big.kind(), TemplateValue::Kind::Int);
  EXPECT_TRUE(big.is_big_int());
  EXPECT_THROW(big.as_int(), TemplateValue::BadAccess);
  EXPECT_EQ(big.as_bigint().to_string(), "18446744073709551615");
  EXPECT_EQ(big.str(), "18446744073709551615");
}

TEST(TemplateValueTest, JsonTextKeepsIntegersOfAnySizeExact) {
  TemplateContext c = template_context_from_json_text(
      R"({"a": 123456789012345678901234567890, "b": -18446744073709551617, "c": 1.5e300, "d": [NaN, -0.0], "e": 7})");
  EXPECT_EQ(c.find("a")->str(), "123456789012345678901234567890");
  EXPECT_EQ(c.find("b")->str(), "-18446744073709551617");
  EXPECT_EQ(c.find("c")->as_double(), 1.5e300);
  EXPECT_EQ(c.find("d")->str(), "[nan, -0.0]");
  EXPECT_FALSE(c.find("e")->is_big_int());
  EXPECT_THROW(template_context_from_json_text("[1]"), std::runtime_error);
  EXPECT_THROW(template_context_from_json_text("{\"a\": }"), std::runtime_error);
}

TEST(TemplateValueTest, BigIntArithmeticAgreesWithSmallOnesAndItsOwnIdentities) {
  // Against 128-bit integers: every sign combination, around the 32- and
  // 64-bit limb edges.
  const __int128 samples[] = {0, 1, -1, 7, -7, 4294967295, 4294967296, -4294967297, 9223372036854775807,
                              -static_cast<__int128>(9223372036854775807) - 1, static_cast<__int128>(1) << 64,
                              (static_cast<__int128>(1) << 90) + 12345, -(static_cast<__int128>(3) << 80)};
  auto big = [](__int128 v) {
    bool neg = v < 0;
    unsigned __int128 m = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    BigInt r = BigInt(static_cast<std::int64_t>(m >> 64)).shifted_left(64) +
               BigInt(static_cast<std::int64_t>(m >> 32 & 0xFFFFFFFFu)).shifted_left(32) +
               BigInt(static_cast<std::int64_t>(m & 0xFFFFFFFFu));
    return neg ? -r : r;
  };
  for (__int128 a : samples)
    for (__int128 b : samples) {
      SCOPED_TRACE(big(a).to_string() + " and " + big(b).to_string());
      if ((a < 0 ? -a : a) < (static_cast<__int128>(1) << 100) && (b < 0 ? -b : b) < (static_cast<__int128>(1) << 100)) {
        EXPECT_EQ(big(a) + big(b), big(a + b));
        EXPECT_EQ(big(a) - big(b), big(a - b));
      }
      EXPECT_EQ(compare(big(a), big(b)), a < b ? -1 : a > b ? 1 : 0);
      if (b == 0) continue;
      BigInt q, r;
      BigInt::divmod(big(a), big(b), q, r);
      EXPECT_EQ(q * big(b) + r, big(a));
      EXPECT_TRUE(r.is_zero() || r.negative() == (b < 0));
      EXPECT_LT(compare(r.abs(), big(b).abs()), 0);
    }
  // Long division with many limbs: (x*y + r) / y gives x and r back.
  BigInt x = *BigInt::parse("98765432109876543210987654321098765432109876543210");
  BigInt y = *BigInt::parse("1234567890123456789012345678901");
  BigInt r = *BigInt::parse("1234567890123456789012345678900");
  BigInt q, m;
  BigInt::divmod(x * y + r, y, q, m);
  EXPECT_EQ(q, x);
  EXPECT_EQ(m, r);
  EXPECT_EQ(BigInt::parse("ff", 16)->to_string(), "255");
  EXPECT_FALSE(BigInt::parse("12a"));
  EXPECT_EQ(BigInt::from_double(1e300).to_double(), 1e300);
  EXPECT_EQ(*BigInt::parse("9007199254740993")->to_double(), 9007199254740992.0);  // ties to even
  EXPECT_EQ(*BigInt::parse("9007199254740995")->to_double(), 9007199254740996.0);
  EXPECT_FALSE(BigInt(1).shifted_left(1024).to_double());
  EXPECT_EQ(compare_int_real(*BigInt::parse("9007199254740993"), 9007199254740992.0), 1);
  EXPECT_EQ(compare_int_real(BigInt(-3), -2.5), -1);
  EXPECT_EQ(compare_int_real(BigInt(2), std::nan("")), 2);
}

}  // namespace
}  // namespace kemora::pipeline::panogen::tmpl
