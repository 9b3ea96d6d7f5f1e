// `kemora run` (a whole pipeline run) and `kemora step` (one step).
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>

#include "cli/commands.hpp"
#include "kemora/common/json.hpp"
#include "kemora/common/process.hpp"
#include "kemora/motor/motor.hpp"
#include "kemora/common/text.hpp"

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

namespace {

// Status and accept never ask the data-source question: without a
// configuration file they go on with external_data/ and say so ("[AUTO]").
motor::AnswerSource no_question() {
  return {.is_terminal = [] { return false; }, .read_line = [] { return std::optional<std::string>(); }};
}

// The engine of status and accept: no season until accept writes one, and
// no data-source question.
motor::MotorOptions unasked_options(const EngineFlags& f) {
  motor::MotorOptions o = engine_options(f);
  o.create_folders = false;
  o.answers = no_question();
  return o;
}

void print_plan_json(const std::vector<motor::PlanSatiri>& plan) {
  common::JsonDoc doc(rapidjson::kArrayType);
  auto& a = doc.GetAllocator();
  auto text = [&](std::string_view s) { return common::json_string(s, a); };
  auto list = [&](const std::vector<std::string>& items) {
    common::Json arr(rapidjson::kArrayType);
    for (const auto& s : items) arr.PushBack(text(s), a);
    return arr;
  };
  for (const auto& p : plan) {
    common::Json o(rapidjson::kObjectType);
    o.AddMember("code", text(p.kod), a);
    o.AddMember("notebook", p.notebook ? text(*p.notebook) : common::Json(rapidjson::kNullType), a);
    o.AddMember("decision", text(motor::plan_karar_text(p.karar)), a);
    o.AddMember("reason", text(p.sebep), a);
    o.AddMember("changed_files", list(p.degisen_kaynaklar), a);
    o.AddMember("triggered_by", list(p.tetikleyenler), a);
    doc.PushBack(o, a);
  }
  std::cout << common::json_dumps(doc) << "\n";
}

// One line per step within 100 columns: code (22), decision (9), reason; the
// changed files and a missing notebook on lines of their own below.
void print_plan_table(const std::vector<motor::PlanSatiri>& plan) {
  auto pad = [](const std::string& s, std::size_t w) {
    std::size_t n = common::utf8_length(s);
    return n >= w ? s + " " : s + std::string(w - n, ' ');
  };
  std::cout << "  " << pad("Adım", 22) << pad("Karar", 10) << "Sebep\n";
  std::cout << "  " << std::string(21, '-') << " " << std::string(9, '-') << " " << std::string(40, '-') << "\n";
  int run = 0, skip = 0, missing = 0;
  for (const auto& p : plan) {
    const char* word = p.karar == motor::PlanSatiri::Karar::CALISTIR ? "ÇALIŞIR"
                       : p.karar == motor::PlanSatiri::Karar::ATLA   ? "ATLANIR"
                                                                      : "NB YOK";
    run += p.karar == motor::PlanSatiri::Karar::CALISTIR;
    skip += p.karar == motor::PlanSatiri::Karar::ATLA;
    missing += p.karar == motor::PlanSatiri::Karar::NB_YOK;
    std::cout << "  " << pad(p.kod, 22) << pad(word, 10) << p.sebep << "\n";
    if (!p.notebook) {
      const motor::AdimKaydi* rec = motor::registry_find(p.kod);
      std::cout << "      notebook bulunamadı: " << (rec ? std::string(rec->nb) : p.kod) << "\n";
    }
    for (const auto& f : p.degisen_kaynaklar) std::cout << "      değişti: " << f << "\n";
  }
  std::cout << "\n  Çalışacak:" << run << " Atlanacak:" << skip << " NB yok:" << missing << "\n";
}

}  // namespace

void add_plan_commands(CLI::App& app) {
  auto flags = std::make_shared<EngineFlags>();
  auto run = std::make_shared<motor::RunAllOptions>();
  auto json = std::make_shared<bool>(false);
  CLI::App* status = add_command(app, "status",
      "Show what 'kemora run' with the same options would run or skip, and why, without running anything",
      "Nothing is run, created, written or deleted; the data-source question is never asked (without a "
      "configuration file the plan uses external_data/ and says so). Each step shows its decision and the "
      "reason a run would print; a step whose sources changed lists every changed file; a cascade is "
      "predicted from the steps planned to run before it.\n\n"
      "Exit status: 0 when the plan was made (also when a notebook is missing), 1 when an error stopped it.");
  add_engine_options(status, *flags);
  status->add_flag("--skip-ingest", run->skip_ingest, "Leave out the ten ingest steps, as run does");
  status->add_flag("--skip-backtest", run->skip_backtest, "Leave out the three backtests, as run does");
  status->add_flag("--skip-ml", run->skip_ml, "Leave out the three ML steps, as run does");
  status->add_flag("--json", *json,
                   "One JSON array on standard output: per step code, notebook (null when missing), decision "
                   "(run, skip, missing), reason, changed_files, triggered_by");
  status->callback([flags, run, json] {
    exit_status() = run_reporting("status", [&] {
      motor::MotorOptions o = unasked_options(*flags);
      // Configuration lines go to standard error with --json, so that
      // standard output holds only the JSON.
      if (*json) o.console = [](std::string_view line) { std::cerr << line << std::flush; };
      Motor m(std::move(o));
      auto plan = m.plan(*run);
      if (*json) print_plan_json(plan);
      else print_plan_table(plan);
      return 0;
    });
  });

  auto acc_flags = std::make_shared<EngineFlags>();
  auto codes = std::make_shared<std::vector<std::string>>();
  auto all = std::make_shared<bool>(false);
  CLI::App* accept = add_command(app, "accept",
      "Record steps as if they had just run successfully, without running them",
      "Writes a new season with a meta record per step from its present notebook, git object and source "
      "files (marked \"kabul\": true) and a manifest in which the steps are KABUL; a later run skips them as "
      "unchanged and does not cascade from them. Use it for a change that does not matter (a cosmetic "
      "notebook edit, source files delivered again). Every step is checked first: an unknown step or a missing "
      "notebook writes nothing. The data-source question is never asked.\n\n"
      "Exit status: 0 when the steps were recorded, 1 when an error stopped the command (nothing written).");
  accept->add_option("STEP", *codes, "Step codes to accept (see 'kemora steps')");
  accept->add_flag("--all", *all, "Accept every step of the registry");
  add_engine_options(accept, *acc_flags);
  accept->callback([acc_flags, codes, all] {
    if (*all == !codes->empty()) throw CLI::ValidationError("STEP", "give step codes or --all, not both or neither");
    if (acc_flags->force_all || !acc_flags->force.empty() || !acc_flags->from.empty())
      throw CLI::ValidationError("--force/--force-all/--from", "accept runs nothing; these options do not apply");
    exit_status() = run_reporting("accept", [&] {
      std::vector<std::string> kodlar = *codes;
      if (*all)
        for (const auto& r : motor::ADIM_REGISTRY) kodlar.emplace_back(r.kod);
      motor::MotorOptions o = unasked_options(*acc_flags);
      Motor m(std::move(o));
      m.accept(kodlar);
      return 0;
    });
  });
}

}  // namespace kemora::cli
