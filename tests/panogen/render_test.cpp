#include "kemora/pipeline/panogen/render.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/text.hpp"
#include "test_support.hpp"
#include "kemora/paths.hpp"
#include "kemora/common/json.hpp"

namespace fs = std::filesystem;
namespace pg = kemora::pipeline::panogen;
using kemora::common::JsonDoc;
using kemora::common::read_file;

namespace {

const fs::path kData = fs::path(KEMORA_SOURCE_DIR) / "tests/panogen/data/render";

void replace(std::string& s, const std::string& what, const std::string& with) {
  s.replace(s.find(what), what.size(), with);
}

class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kemora_render_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    use_template("{{ total_rows }}|{{ total_chunks }}|{% for c in data_chunks %}{{ c }};{% endfor %}");
  }
  void TearDown() override {
    kemora::paths::set_template_path(std::nullopt);
    fs::remove_all(dir_);
  }

  void use_template(const std::string& text) {
    write("t/page.j2", text);
    kemora::paths::set_template_path(dir_ / "t/page.j2");
  }
  std::string write(const std::string& name, const std::string& text) {
    fs::path p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  /// A scoreboard with one score period and `n` rows whose son_risk falls with
  /// the index.
  std::string scoreboard(int n, const std::string& name = "json/sb.json") {
    std::string s = R"({"meta": {"donemler": [1]}, "rows": [)";
    for (int i = 0; i < n; ++i) s += (i ? "," : "") + std::string(R"({"muta": )") + std::to_string(i) +
                                     R"(, "son_risk": )" + std::to_string(n - i) + "}";
    return write(name, s + "]}");
  }
  pg::RenderResult render(const std::string& json, pg::RenderOptions options, std::string* out = nullptr) {
    if (!options.output_html) options.output_html = (dir_ / "out.html").string();
    ::testing::internal::CaptureStdout();
    pg::RenderResult r;
    try {
      r = pg::render_html(json, options);
    } catch (...) {
      ::testing::internal::GetCapturedStdout();
      throw;
    }
    std::string printed = ::testing::internal::GetCapturedStdout();
    if (out) *out = printed;
    return r;
  }
  std::string page() { return read_file(dir_ / "out.html"); }

  fs::path dir_;
};

std::string script_length(const char* name) {
  fs::path p = kemora::paths::get_js_dir() / name;
  return fs::exists(p) ? std::to_string(kemora::common::utf8_length(read_file(p))) : "0";
}

}  // namespace

TEST_F(Render, EveryContextValueMatchesTheExpectedPage) {
  kemora::paths::set_template_path(kData / "context.html.j2");
  std::string printed;
  const std::string out = (dir_ / "pages/dash.html").string();
  pg::RenderResult r = render((kData / "json/sample_scoreboard.json").string(),
                              {.output_html = out, .chunk_size = 3, .top_n = 5,
                               .external_link = "https://ornek.test/firma?id="},
                              &printed);
  std::string expected = read_file(kData / "expected.txt");
  replace(expected, "{D3_LENGTH}", script_length("d3.min.js"));
  replace(expected, "{D3_SANKEY_LENGTH}", script_length("d3-sankey.min.js"));
  std::string written = read_file(out);
  EXPECT_EQ(written, expected);

  EXPECT_EQ(r.html_path, out);
  EXPECT_EQ(r.rows, 7);
  EXPECT_EQ(r.chunks, 3);
  EXPECT_DOUBLE_EQ(r.size_kb, static_cast<double>(written.size()) / 1024);
  char size[32];
  std::snprintf(size, sizeof size, "%.1f KB", static_cast<double>(written.size()) / 1024);
  EXPECT_EQ(printed, "    HTML: " + out + "\n    Boyut: " + size +
                         "  |  7 satır  |  3 chunk\n    Bölge: 4  |  Şube: 5\n");
}

TEST_F(Render, RowsBeforeMetaGiveTheSameRows) {
  std::string a = write("a/sb.json", R"({"meta": {"donemler": ["1"]}, "rows": [{"muta": 1, "kmr1": 4, "son_risk": 1},
                                          {"muta": 2, "kmr1": "YI", "son_risk": 2, "bolge_kodu": "X"}]})");
  std::string b = write("b/sb.json", R"({"rows": [{"muta": 1, "kmr1": 4, "son_risk": 1},
                                          {"muta": 2, "kmr1": "YI", "son_risk": 2, "bolge_kodu": "X"}],
                                          "meta": {"donemler": ["1"]}})");
  render(a, {});
  std::string first = page();
  render(b, {});
  EXPECT_EQ(page(), first);
  EXPECT_EQ(first, R"(2|1|[[2,"",-1,0.0,0,-1,-1,null,null,null,0,0,0,0,0,0,""],[1,"",-1,0.0,-1,-1,4,null,null,null,0,0,0,0,0,0,""]];)");
}

TEST_F(Render, ThePageGetsTheLayoutOfItsRows) {
  // risk_donemler defaults to donemler: three score and three risk periods.
  use_template("{{ row_layout_js }}\n{% for c in data_chunks %}{{ c }}{% endfor %}");
  render(write("json/sb.json", R"({"meta": {"donemler": ["a", "b", "c"]}, "rows": [
      {"kmrc": 3, "rdb": 5e6, "muta": 1, "_kacirilan": 1, "_kmr_neden": "son"}]})"),
         {});
  const std::string text = page();
  const auto newline = text.find('\n');
  ASSERT_NE(newline, std::string::npos);
  JsonDoc layout = kemora::common::json_parse(text.substr(0, newline), "layout");
  JsonDoc rows = kemora::common::json_parse(text.substr(newline + 1), "rows");
  ASSERT_EQ(rows.Size(), 1u);
  const kemora::common::Json& row = rows[0];
  auto at = [&](const char* name, unsigned k = 0) { return kemora::common::json_dumps(row[layout[name].GetUint() + k]); };
  EXPECT_EQ(at("muta"), "1");
  EXPECT_EQ(at("kmr", 2), "3");
  EXPECT_EQ(at("rd", 1), "5");
  EXPECT_EQ(at("_kacirilan"), "1");
  EXPECT_EQ(at("_kmr_neden"), R"("son")");
  EXPECT_EQ(layout["_kmr_neden"].GetUint() + 1, row.Size());
}

TEST_F(Render, Chunking) {
  use_template("{% for c in data_chunks %}{% if loop.last %}{{ c }}{% endif %}{% endfor %}");
  pg::RenderResult r = render(scoreboard(20000), {});
  EXPECT_EQ(r.rows, 20000);
  EXPECT_EQ(r.chunks, 2);
  r = render(scoreboard(10001), {});
  EXPECT_EQ(r.chunks, 2);
  EXPECT_EQ(page(), R"([[10000,"",-1,0.0,-1,-1,null,null,null,null,0,0,0,0,0,0,""]])");  // the last chunk holds one row
  r = render(scoreboard(5), {.chunk_size = 1});
  EXPECT_EQ(r.chunks, 5);
  r = render(scoreboard(5), {.chunk_size = 5});
  EXPECT_EQ(r.chunks, 1);
}

TEST_F(Render, NoRowsGiveOneEmptyChunk) {
  EXPECT_EQ(render(scoreboard(0), {}).chunks, 1);
  EXPECT_EQ(page(), "0|1|[];");
  pg::RenderResult r = render(scoreboard(4), {.row_filter = [](const kemora::common::Json&) { return false; }});
  EXPECT_EQ(r.rows, 0);
  EXPECT_EQ(page(), "0|1|[];");
}

TEST_F(Render, StableDescendingOrderBySonRisk) {
  use_template("{% for c in data_chunks %}{{ c }}{% endfor %}");
  std::string json = write("json/sb.json", R"({"meta": {"donemler": ["1"]}, "rows": [
      {"muta": "zero"}, {"muta": "neg", "son_risk": -1}, {"muta": "null", "son_risk": null},
      {"muta": "big", "son_risk": 3e6}, {"muta": "int0", "son_risk": 0}, {"muta": "false", "son_risk": false},
      {"muta": "small", "son_risk": 0.5}, {"muta": "big2", "son_risk": 3000000}]})");
  render(json, {});
  std::string order;
  for (std::size_t at = page().find("[\""); at != std::string::npos; at = page().find("[\"", at + 1))
    order += page().substr(at + 2, page().find('"', at + 2) - at - 2) + " ";
  EXPECT_EQ(order, "big big2 small zero null int0 false neg ");
}

TEST_F(Render, RowFilterSeesWholeRows) {
  std::string json = write("json/sb.json", R"({"meta": {"donemler": ["1"]}, "rows": [
      {"muta": 1, "segment": "KOBI", "son_risk": 1}, {"muta": 2, "segment": "MIKRO"}, {"muta": 3, "segment": "KOBI"}]})");
  pg::RenderResult r = render(json, {.row_filter = [](const kemora::common::Json& row) {
                                   return std::string(row["segment"].GetString()) == "KOBI";
                                 }});
  EXPECT_EQ(r.rows, 2);
  EXPECT_EQ(page(), R"(2|1|[[1,"",1,0.0,-1,-1,null,null,null,null,0,0,0,0,0,0,""],[3,"",1,0.0,-1,-1,null,null,null,null,0,0,0,0,0,0,""]];)");
}

TEST_F(Render, WithoutPeriodsOnlyWarns) {
  std::string json = write("data/json/sb.json", R"({"meta": {"donemler": []}, "rows": [{"muta": 1}]})");
  ::testing::internal::CaptureStdout();
  pg::RenderResult r = pg::render_html(json);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "    [WARN] No periods in data, skipping HTML render\n");
  const std::string expected_path = (dir_ / "data/html/kmr_dashboard.html").string();
  EXPECT_EQ(r, (pg::RenderResult{expected_path, 0, 0, 0}));
  EXPECT_TRUE(fs::is_directory(dir_ / "data/html"));  // the default folder is made first
  EXPECT_FALSE(fs::exists(expected_path));
  EXPECT_EQ(render(write("m.json", R"({"meta": {}, "rows": []})"), {}).chunks, 0);
}

TEST_F(Render, DefaultPathsBesideTheJsonFolder) {
  std::string json = scoreboard(1, "w/outputs/json/sample_scoreboard.json");
  write("w/outputs/json/sube_bolge_ref.csv", "bolge_kodu,bolge_adi\n");
  std::string printed;
  ::testing::internal::CaptureStdout();
  pg::RenderResult r = pg::render_html(json);
  printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(r.html_path, (dir_ / "w/outputs/html/kmr_dashboard.html").string());
  EXPECT_TRUE(fs::exists(r.html_path));
  EXPECT_EQ(printed.substr(0, printed.find('\n')), "    HTML: " + r.html_path);
  EXPECT_EQ(pg::path_text("sb.json"), "sb.json");
  EXPECT_EQ(pg::path_text("./a//b/"), "a/b");
  EXPECT_EQ(pg::path_text(""), ".");
}

TEST_F(Render, SizeTextAndLimitWarning) {
  // A template of fixed size: the page is exactly 1048576 bytes, then one more.
  use_template(std::string(1048576, 'x'));
  std::string printed;
  pg::RenderResult r = render(scoreboard(1), {.max_size_mb = 1.0}, &printed);
  EXPECT_NE(printed.find("    Boyut: 1024.0 KB  |  1 satır  |  1 chunk\n"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("[WARN]"), std::string::npos);
  EXPECT_DOUBLE_EQ(r.size_kb, 1024.0);
  use_template(std::string(1048577, 'x'));
  render(scoreboard(1), {.max_size_mb = 0.5}, &printed);
  EXPECT_NE(printed.find("    Boyut: 1.0 MB  |"), std::string::npos) << printed;
  EXPECT_NE(printed.find("    [WARN] Boyut limiti aşıldı: 1.0 MB > 0.5 MB\n"), std::string::npos) << printed;
  render(scoreboard(1), {.max_size_mb = 0}, &printed);
  EXPECT_EQ(printed.find("[WARN]"), std::string::npos);
}

TEST_F(Render, BadInputsWriteNothing) {
  const std::string out = (dir_ / "out.html").string();
  auto fails_with = [&](const std::string& json, const std::string& message, pg::RenderOptions options = {}) {
    std::ofstream(out) << "old page";
    try {
      render(json, options);
      ADD_FAILURE() << "no error for " << json;
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
    EXPECT_EQ(read_file(out), "old page");
  };
  std::string bad = write("bad.json", R"({"meta": {"donemler": [1]}, "rows": [{"muta": 1,}]})");
  fails_with(bad, bad + ": invalid JSON at byte 48");
  fails_with(write("nometa.json", R"({"rows": []})"), "no 'meta'");
  fails_with(write("norows.json", R"({"meta": {"donemler": [1]}})"), "no 'rows'");
  fails_with(write("list.json", "[1]"), "must be a JSON object");
  fails_with(write("rowlist.json", R"({"meta": {"donemler": [1]}, "rows": [{"muta": 1}, 7]})"), "rows[1] is not a map");
  fails_with(write("rowsmap.json", R"({"meta": {"donemler": [1]}, "rows": {}})"), "rows must be a list");
  fails_with(write("seg.json", R"({"meta": {"donemler": [1]}, "rows": [{}, {"segment": [1]}]})"), "rows[1]: segment");
  fails_with(write("deep.json", R"({"meta": {"donemler": [1]}, "rows": [], "x": )" + std::string(5000, '[')),
             "too deeply nested");
  fails_with((dir_ / "missing.json").string(), "no such file");
  fails_with(scoreboard(3), "chunk_size must be at least 1", {.chunk_size = 0});
  fails_with(scoreboard(3), "external_link is not valid UTF-8", {.external_link = "https://x/\xc3"});
  use_template("ok \xff");
  fails_with(scoreboard(3), "page.j2:1: not valid UTF-8");
  use_template("{% for %}");
  fails_with(scoreboard(3), "page.j2");
}

namespace {

// Each call of a console sink is one line with its final newline.
void expect_whole_lines(const std::vector<std::string>& lines) {
  for (const auto& l : lines) {
    EXPECT_FALSE(l.empty());
    EXPECT_EQ(l.find('\n'), l.size() - 1) << "[" << l << "]";
  }
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& l : lines) all += l;
  return all;
}

}  // namespace

TEST_F(Render, ConsoleSinkGetsEveryLineStandardOutputWouldGet) {
  use_template(std::string(1048577, 'x'));  // over the limit below: the warning line too
  const std::string sb = scoreboard(3);
  const std::string no_periods = write("np/json/sb.json", R"({"meta": {"donemler": []}, "rows": [{"muta": 1}]})");
  for (const std::string& json : {sb, no_periods}) {
    SCOPED_TRACE(json);
    std::string printed;
    render(json, {.max_size_mb = 0.5}, &printed);
    std::vector<std::string> lines;
    std::string leaked;
    render(json, {.max_size_mb = 0.5, .console = [&](std::string_view l) { lines.emplace_back(l); }}, &leaked);
    EXPECT_EQ(leaked, "");
    EXPECT_EQ(joined(lines), printed);
    expect_whole_lines(lines);
    EXPECT_EQ(lines.size(), json == sb ? 4u : 1u) << printed;
  }
}

TEST_F(Render, ClosedStandardOutputLosesTheReportButNotThePage) {
  // `kemora render ... | head -1`: the page is written before the report, so
  // a reader that went away does not make the render fail.
  bool rendered = false;
  {
    kemora::test::StdoutToClosedPipe closed;
    try {
      rendered = pg::render_html(scoreboard(2), {.output_html = (dir_ / "out.html").string()}).rows == 2;
    } catch (...) {
    }
  }
  EXPECT_TRUE(rendered);
  EXPECT_EQ(page().substr(0, 4), "2|1|");
}

TEST_F(Render, ThePageIsTheSameForAnyNumberOfThreads) {
  use_template("{{ bolge_list_js }}|{{ sube_list_js }}|{{ total_chunks }}|{% for c in data_chunks %}{{ c }};{% endfor %}");
  // Rows whose codes first appear late in the file, in rows that sort first:
  // the region and branch lists then depend on how the groups are joined.
  std::string rows;
  for (int i = 0; i < 3000; ++i) {
    const bool late = i >= 2900;
    rows += (i ? ", " : "") + std::string(R"({"muta": )") + std::to_string(i) + R"(, "unvan": "Firma )" +
            std::to_string(i) + R"(", "son_risk": )" + std::to_string(late ? 9e9 - i : (i * 7919) % 5000 * 1e5) +
            R"(, "bolge_kodu": )" + (late ? "\"L" + std::to_string(i % 7) + "\"" : std::to_string(i % 11)) +
            R"(, "sube_kodu": ")" + (late ? "late" : "s") + std::to_string(i % 37) + R"(", "kmr1": )" +
            std::to_string(i % 9) + "}";
  }
  const std::string json = write("json/sb.json", R"({"meta": {"donemler": [1]}, "rows": [)" + rows + "]}");
  render(json, {.chunk_size = 128, .threads = 1});
  const std::string one = page();
  EXPECT_EQ(one.rfind(R"([{"kodu":"L)", 0), 0u) << one.substr(0, 80);  // the late codes lead the list
  for (unsigned threads : {2u, 3u, 7u}) {
    render(json, {.chunk_size = 128, .threads = threads});
    EXPECT_EQ(page(), one) << threads << " threads";
  }

  // Faults in several groups: the one reported is that of the first row.
  std::string bad = rows;
  replace(bad, R"({"muta": 2950,)", R"({"unvan": [1], "muta": 2950,)");
  replace(bad, R"({"muta": 1700,)", R"({"segment": {}, "muta": 1700,)");
  replace(bad, R"({"muta": 600,)", R"(7, {"muta": 600,)");
  const std::string bad_json = write("json/bad.json", R"({"meta": {"donemler": [1]}, "rows": [)" + bad + "]}");
  for (unsigned threads : {1u, 2u, 3u, 7u}) {
    try {
      render(bad_json, {.threads = threads});
      ADD_FAILURE() << "no error with " << threads << " threads";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), bad_json + ": rows[600] is not a map") << threads << " threads";
    }
  }
}
