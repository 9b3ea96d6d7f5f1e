// `kemora demo`: a ready-made workspace, the whole pipeline through the real
// notebook executor, and the dashboard of its scoreboard.
#include <filesystem>
#include <iostream>

#include "cli/commands.hpp"
#include "kemora/common/json.hpp"
#include "kemora/common/process.hpp"
#include "kemora/motor/motor.hpp"
#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/render.hpp"
#include "kemora/pipeline/panogen/trending.hpp"

namespace kemora::cli {
namespace {

namespace fs = std::filesystem;
namespace pg = pipeline::panogen;

const char* const kDataKeys[] = {"kik_data_ham_csv", "kredi_db",       "yis_tahmin_data", "eus_tahmin_data",
                                 "eus_hedef_muta",   "eus_sql_kapsam_muta", "statik_db",   "yis_train_data",
                                 "rkd_donem_data",   "memzuc_data_donem"};

bool is_demo_workspace(const fs::path& dir) { return fs::exists(dir / "nb_01a_ingest_ddl.ipynb"); }

void git(const fs::path& dir, std::vector<std::string> args) {
  args.insert(args.begin(), {"git", "-c", "user.name=Kemora demo", "-c", "user.email=demo@kemora.invalid"});
  auto r = common::run_process(args, {.cwd = dir, .timeout = std::chrono::seconds(60)});
  if (r.exit_status != 0) throw std::runtime_error("git " + args[5] + " in " + dir.string() + " failed: " + r.err);
}

// Copies the packaged workspace, points its data-source configuration at its
// own source folders and makes it a git working copy with one commit.
void create_workspace(const fs::path& dir) {
  fs::path source = paths::get_demo_dir();
  if (!is_demo_workspace(source))
    throw std::runtime_error("the demo workspace is missing from " + source.string() + " (is kemora installed?)");
  fs::create_directories(dir.parent_path());
  fs::path staging = dir.parent_path() / ("." + dir.filename().string() + ".creating");
  fs::remove_all(staging);
  fs::copy(source, staging, fs::copy_options::recursive);

  common::JsonDoc config(rapidjson::kObjectType);
  auto& a = config.GetAllocator();
  for (const char* key : kDataKeys)
    config.AddMember(rapidjson::StringRef(key), common::json_string((dir / "external_data" / key).string(), a), a);
  common::json_write_file(staging / "local_data_paths.json", config);

  fs::rename(staging, dir);  // the workspace appears whole or not at all
  try {
    git(dir, {"init", "-q"});
    git(dir, {"add", "-A"});
    git(dir, {"commit", "-q", "-m", "Kemora demo çalışma alanı"});
  } catch (const std::exception& e) {
    std::cerr << "kemora demo: warning: " << e.what() << "\n";
  }
  std::cout << "  Demo çalışma alanı oluşturuldu: " << dir.string() << "\n" << std::flush;
}

int run_demo(const std::string& dir_text) {
  fs::path dir = fs::weakly_canonical(fs::absolute(dir_text));
  if (!fs::exists(dir) || (fs::is_directory(dir) && fs::is_empty(dir))) {
    if (fs::exists(dir)) fs::remove(dir);
    create_workspace(dir);
  } else if (!is_demo_workspace(dir)) {
    throw std::runtime_error(dir.string() + " exists and is not a Kemora demo workspace; choose another folder");
  }

  motor::Motor m({.work_dir = dir.string()});
  m.run_all();
  int status = any_failed(m) ? 2 : 0;

  fs::path scoreboard = m.output_dir() / "sample_scoreboard.json";
  if (!fs::exists(scoreboard)) {
    std::cerr << "kemora demo: no scoreboard at " << scoreboard.string() << "; no dashboard was rendered\n";
    return status == 0 ? 1 : status;
  }
  std::cout << "\n" << std::flush;
  fs::path html = dir / "outputs" / "html" / "kmr_dashboard.html";
  auto result = pg::render_html(scoreboard.string(), {.output_html = html.string()});
  fs::path trending = m.output_dir() / "sample_trending_lists.json";
  if (result.chunks > 0 && fs::exists(trending))
    pg::place_trending_section(result.html_path, pg::trending_html_from_file(trending));
  std::cout << "\n  Dashboard: " << html.string() << "\n  Tarayıcıda açın: file://" << html.string() << "\n"
            << std::flush;
  return status;
}

}  // namespace

void add_demo_command(CLI::App& app) {
  auto dir = std::make_shared<std::string>("kemora-demo");
  CLI::App* cmd = app.add_subcommand("demo", "Run the demo pipeline and render its dashboard");
  cmd->add_option("DIR", *dir, "Demo workspace; created from the packaged one when it does not exist")
      ->capture_default_str();
  cmd->footer(
      "The first run copies the demo workspace (17 notebooks, source data for 5,000 firms) to DIR,\n"
      "makes it a git working copy, runs all 18 steps through the notebook executor and writes\n"
      "DIR/outputs/html/kmr_dashboard.html. Later runs skip every unchanged step.\n"
      "Exit status: 0 on success, 2 when a step failed, 1 when an error stopped the demo, 130 when\n"
      "it was interrupted.");
  cmd->callback([dir] {
    run_guarded([&] { return run_reporting("demo", [&] { return run_demo(*dir); }); });
  });
}

}  // namespace kemora::cli
