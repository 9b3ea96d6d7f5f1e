// `kemora run` (a whole pipeline run) and `kemora step` (one step).
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/commands.hpp"
#include "kemora/common/json.hpp"
#include "kemora/common/process.hpp"
#include "kemora/motor/motor.hpp"

namespace kemora::cli {
namespace {

using motor::Motor;

struct EngineFlags {
  std::string work_dir = ".";
  std::string mode = "prod";
  bool force_all = false;
  std::vector<std::string> force;
  std::string from;
  std::string muta_filter;
  std::string suffix;
  std::vector<std::string> data_paths;
  bool no_cache = false;
};

void add_engine_options(CLI::App* cmd, EngineFlags& f) {
  cmd->add_option("--work-dir", f.work_dir, "Pipeline working directory (a git working copy of the notebooks)")
      ->capture_default_str();
  cmd->add_option("--mode", f.mode, "Run mode; 'test' uses db/kmr_test.duckdb and T_ seasons")->capture_default_str();
  cmd->add_flag("--force-all", f.force_all, "Run every step whatever its run decision");
  cmd->add_option("--force", f.force, "Run this step whatever its run decision (repeatable)")
      ->allow_extra_args(false);
  cmd->add_option("--from", f.from, "Start at this step: the steps before it in the registry are passed over");
  cmd->add_option("--muta-filter", f.muta_filter, "Filter file handed to the notebooks as MUTA_FILTER_PATH");
  cmd->add_option("--suffix", f.suffix, "Suffix of output file names (FILE_SUFFIX)");
  cmd->add_option("--data-path", f.data_paths,
                  "Data-source folder KEY=DIR (repeatable); without any, the working directory's "
                  "local_data_paths.json, data_paths_nt.json or data_paths.json is read")
      ->allow_extra_args(false);
}

void add_cache_option(CLI::App* cmd, EngineFlags& f) {
  cmd->add_flag("--no-cache", f.no_cache,
                "Hash every notebook and source file again; do not read or create the fingerprint cache "
                "in WORK_DIR/.kemora");
}

void warn_unknown_step(const std::string& option, const std::string& kod) {
  if (!kod.empty() && motor::registry_find(kod) == nullptr)
    std::cerr << "kemora: warning: " << option << " " << kod << ": no such step (see 'kemora steps')\n";
}

motor::MotorOptions engine_options(const EngineFlags& f) {
  motor::MotorOptions o{.work_dir = f.work_dir, .mode = f.mode, .force_all = f.force_all, .file_suffix = f.suffix};
  if (!f.force.empty()) o.force_adimlar = f.force;
  if (!f.from.empty()) o.from_step = f.from;
  if (!f.muta_filter.empty()) o.muta_filter_path = f.muta_filter;
  o.fingerprint_cache = !f.no_cache;
  if (!f.data_paths.empty()) {
    motor::DataPaths dp;
    for (const auto& kv : f.data_paths) {
      auto eq = kv.find('=');
      if (eq == std::string::npos || eq == 0)
        throw CLI::ValidationError("--data-path", "expected KEY=DIR, got '" + kv + "'");
      dp.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
    }
    o.data_paths = std::move(dp);
  }
  for (const auto& k : f.force) warn_unknown_step("--force", k);
  warn_unknown_step("--from", f.from);
  return o;
}

}  // namespace

void run_guarded(const std::function<int()>& body) {
  try {
    exit_status() = body();
  } catch (const motor::PipelineStopped& e) {
    std::fflush(stdout);
    std::cerr << e.what() << "\n";
    exit_status() = 1;
  } catch (const common::ProcessInterrupted& e) {
    report_interrupt(e);
    exit_status() = 130;
  }
}

void report_interrupt(const common::ProcessInterrupted& e) {
  std::fflush(stdout);
  if (e.signal == SIGPIPE) std::cerr << "kemora: the output was closed; the run was stopped\n";
  else std::cerr << "kemora: interrupted\n";
}

bool any_failed(const motor::Motor& m) { return m.any_failed(); }

CLI::App* add_command(CLI::App& app, const char* name, const char* description, const char* footer) {
  CLI::App* cmd = app.add_subcommand(name, description);
  cmd->footer(footer);
  return cmd;
}

int run_reporting(std::string_view command, const std::function<int()>& body) {
  try {
    return body();
  } catch (const CLI::Error&) {
    throw;
  } catch (const motor::PipelineStopped&) {
    throw;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "kemora " << command << ": " << e.what() << "\n";
    return 1;
  }
}

namespace {

// A --param value: a JSON number, true, false or null keeps its type,
// anything else is text.
motor::ParamValue param_value(const std::string& text) {
  try {
    common::JsonDoc d = common::json_parse(text, "--param");
    if (d.IsNull()) return nullptr;
    if (d.IsBool()) return d.GetBool();
    if (d.IsInt64()) return static_cast<long long>(d.GetInt64());
    if (d.IsNumber()) return d.GetDouble();
  } catch (const common::JsonParseError&) {
  }
  return text;
}

}  // namespace

void add_run_commands(CLI::App& app) {
  CLI::App* steps = app.add_subcommand("steps", "List the pipeline steps, their notebooks and prerequisites");
  steps->callback([] {
    for (const auto& r : motor::ADIM_REGISTRY) {
      std::string pre;
      for (auto p : motor::prerequisites(r.kod)) pre += (pre.empty() ? "" : ",") + std::string(p);
      std::cout << r.kod << "\t" << r.nb << "\t" << r.aciklama << "\t" << (pre.empty() ? "-" : pre) << "\n";
    }
  });

  auto flags = std::make_shared<EngineFlags>();
  auto run = std::make_shared<motor::RunAllOptions>();
  auto referans = std::make_shared<std::vector<std::string>>();
  CLI::App* cmd = add_command(app, "run", "Run the whole pipeline in a new season folder",
      "Exit status: 0 when no step failed, 2 when a step ended in HATA or NB YOK, 1 when an error "
      "stopped the run, 130 when it was interrupted.");
  add_engine_options(cmd, *flags);
  add_cache_option(cmd, *flags);
  cmd->add_flag("--skip-ingest", run->skip_ingest, "Leave out the ten ingest steps");
  cmd->add_flag("--skip-backtest", run->skip_backtest, "Leave out the three backtests");
  cmd->add_flag("--skip-ml", run->skip_ml, "Leave out the three ML steps");
  cmd->add_option("--referans-tarih", *referans, "Reference date for the transform step (repeatable)")
      ->allow_extra_args(false);
  cmd->add_option("--test-muta-count", run->test_muta_count, "Firms in ML test mode (0: all)")->capture_default_str();
  cmd->callback([flags, run, referans] {
    run_guarded([&] {
      Motor m(engine_options(*flags));
      if (!referans->empty()) run->referans_tarih_list = *referans;
      m.run_all(*run);
      return any_failed(m) ? 2 : 0;
    });
  });

  auto step_flags = std::make_shared<EngineFlags>();
  auto kod = std::make_shared<std::string>();
  auto params = std::make_shared<std::vector<std::string>>();
  auto sources = std::make_shared<std::vector<std::string>>();
  CLI::App* step = add_command(app, "step", "Process one pipeline step",
      "Exit status: 0 when the step ran or was skipped, 2 when it failed or its notebook is missing, 1 when an "
      "error stopped the command, 130 when it was interrupted.");
  step->add_option("KOD", *kod, "Step code, e.g. ingest_kik")->required();
  add_engine_options(step, *step_flags);
  add_cache_option(step, *step_flags);
  step->add_option("--param", *params,
                   "Extra notebook parameter KEY=VALUE (repeatable); a JSON number, true, false or null keeps "
                   "its type, anything else is text")
      ->allow_extra_args(false);
  step->add_option("--source-dir", *sources, "Folder whose files are fingerprinted after a successful run (repeatable)")
      ->allow_extra_args(false);
  step->callback([step_flags, kod, params, sources] {
    run_guarded([&] {
      motor::AdimOptions opts;
      if (!params->empty()) {
        motor::Params p;
        for (const auto& kv : *params) {
          auto eq = kv.find('=');
          if (eq == std::string::npos || eq == 0)
            throw CLI::ValidationError("--param", "expected KEY=VALUE, got '" + kv + "'");
          p.emplace_back(kv.substr(0, eq), param_value(kv.substr(eq + 1)));
        }
        opts.ek_params = std::move(p);
      }
      if (!sources->empty()) opts.source_dirs = *sources;
      Motor m(engine_options(*step_flags));
      return m.adim_isle(*kod, std::move(opts)) ? 0 : 2;
    });
  });
}

}  // namespace kemora::cli
