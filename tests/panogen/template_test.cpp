// The template engine against Python's Jinja2: every case of the corpus in
// data/templates/*.corpus is rendered by both and compared byte for byte;
// failures must agree too, down to the template and line reported.
#include "kemora/pipeline/panogen/template.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kemora/common/process.hpp"
#include "test_support.hpp"

namespace kemora::pipeline::panogen {
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
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseNanAndInfFlag | rapidjson::kParseFullPrecisionFlag>(text.c_str());
  if (doc.HasParseError() || !doc.IsObject()) throw std::runtime_error("bad context JSON: " + text);
  TemplateContext ctx;
  for (const auto& m : doc.GetObject()) ctx.set(m.name.GetString(), template_value_from_json(m.value));
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
  EXPECT_EQ(error_of("a\n\n{% macro m() %}x{% endmacro %}"), "page.html:3: unknown tag 'macro'");
  EXPECT_EQ(error_of("{% extends 'base.html' %}"), "page.html:1: unknown tag 'extends'");
  EXPECT_EQ(error_of("x\n{{ v|wordwrap }}"), "page.html:2: unknown filter 'wordwrap'");
  EXPECT_EQ(error_of("{{ 3 is odd }}"), "page.html:1: unknown test 'odd'");
  EXPECT_EQ(error_of("\n{% set x %}y{% endset %}"),
            "page.html:2: block assignments ({% set %}...{% endset %}) are not supported");
  EXPECT_EQ(error_of("{{ 'abc'[1:] }}"), "page.html:1: slices are not supported");
  EXPECT_EQ(error_of("{% for x in l recursive %}{% endfor %}"), "page.html:1: recursive for loops are not supported");
  EXPECT_EQ(error_of("{{ {1: 2} }}"), "page.html:1: dict keys other than strings are not supported");
  EXPECT_EQ(error_of("{{ enumerate(l, start=1) }}", {{"enumerate", template_enumerate()}}),
            "page.html:1: keyword arguments in calls are not supported");
  EXPECT_EQ(error_of("{{ 2 ** 70 }}"), "page.html:1: integer overflow (integers beyond 64 bits are not supported)");
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

}  // namespace
}  // namespace kemora::pipeline::panogen
