// The whole pipeline run: banner, every step in its fixed order, cleanup,
// summary and manifest.

#include "kemora/motor/motor.hpp"
#include "kemora/motor/ingest_sources.hpp"
#include "kemora/motor/registry.hpp"
#include "kemora/version.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {
namespace {

std::string quoted_list(const auto& items) {
  std::string out = "[";
  bool first = true;
  for (const auto& s : items) {
    if (!first) out += ", ";
    first = false;
    out += "'" + std::string(s) + "'";
  }
  return out + "]";
}

std::string member_or(const common::Json& obj, const char* key, const std::string& fallback) {
  auto it = obj.FindMember(key);
  if (it == obj.MemberEnd()) return fallback;
  return it->value.IsString() ? std::string(it->value.GetString()) : common::json_dumps(it->value);
}

}  // namespace

std::optional<std::vector<std::string>> Motor::source_dirs(const std::string& kod) const {
  const auto keys = ingest_source_keys(kod);
  if (keys.empty()) return std::nullopt;
  std::vector<std::string> dirs;
  for (std::string_view key : keys) dirs.push_back(_resolve(std::string(key)));
  return dirs;
}

std::vector<Motor::RunStep> Motor::run_steps(const RunAllOptions& o) const {
  std::vector<RunStep> steps;
  if (!o.skip_ingest)
    for (std::string_view kod : ALL_INGEST_STEPS)
      steps.push_back({std::string(kod), {.source_dirs = source_dirs(std::string(kod))}});

  Params transform{{"LOG_DIR", log_dir_.string()}};
  if (o.referans_tarih_list && !o.referans_tarih_list->empty())
    transform.emplace_back("REFERANS_TARIH_LIST", quoted_list(*o.referans_tarih_list));
  steps.push_back({"transform", {.ek_params = std::move(transform)}});

  steps.push_back({"marts", {}});

  if (!o.skip_ml) {
    const Params ml{{"CACHE_DIR", (work_dir_ / "db" / "cache").string()}, {"TEST_MUTA_COUNT", o.test_muta_count}};
    const std::string model_dir = (work_dir_ / "ml_models").string();
    Params features = ml;
    steps.push_back({"ml_features", {.ek_params = std::move(features)}});
    Params train = ml;
    train.emplace_back("MODEL_DIR", model_dir);
    steps.push_back({"ml_train", {.ek_params = std::move(train)}});
    Params predict = ml;
    predict.emplace_back("MODEL_DIR", model_dir);
    predict.emplace_back("SCOREBOARD_PATH", (output_dir_ / ("sample_scoreboard" + file_suffix_ + ".json")).string());
    steps.push_back({"ml_predict", {.ek_params = std::move(predict)}});
  }

  if (!o.skip_backtest)
    for (const char* kod : {"backtest_eus", "backtest_yis", "backtest_ml"}) steps.push_back({kod, {}});
  return steps;
}

std::filesystem::path Motor::run_all(const RunAllOptions& o) {
  make_folders();
  say(std::string("Kemora Pipeline v") + kemora::version);
  say("Season: " + season_adi_);
  say("Mode: " + mode_);
  if (mode_ == "test") {
    say("DB: " + db_path_.string());
    if (!muta_filter_path_.empty()) say("MUTA filtre: " + muta_filter_path_);
  }
  auto avail = git_info_.FindMember("git_available");
  if (avail != git_info_.MemberEnd() && avail->value.IsBool() && avail->value.GetBool())
    say("Git: " + member_or(git_info_, "git_commit_short", "?") + " (" + member_or(git_info_, "git_branch", "?") + ")");
  say(std::string("Force: ") + (force_all_ ? "True" : "False") + " " + quoted_list(force_adimlar_));

  for (auto& step : run_steps(o)) adim_isle(step.kod, std::move(step.options));

  _temizle_error_reports();
  ozet_yazdir();
  return manifest_yaz();
}

}  // namespace kemora::motor
