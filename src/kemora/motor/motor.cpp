#include "kemora/motor/motor.hpp"

#include <chrono>
#include <ctime>

#include "kemora/common/numfmt.hpp"
#include "kemora/console.hpp"
#include "kemora/motor/fingerprint_cache.hpp"
#include "kemora/paths.hpp"
#include "kemora/version.hpp"

namespace kemora::motor {
namespace {

std::string local_time(const char* format, std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

}  // namespace

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string iso_now() {
  auto now = std::chrono::system_clock::now();
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  std::time_t secs = static_cast<std::time_t>(us / 1000000);
  long micro = static_cast<long>(us % 1000000);
  std::string text = local_time("%Y-%m-%dT%H:%M:%S", secs);
  if (micro != 0) {
    char frac[16];
    std::snprintf(frac, sizeof frac, ".%06ld", micro);
    text += frac;
  }
  return text;
}

std::string sure_text(double seconds) {
  if (seconds < 60) return common::format_fixed(seconds, 0) + "s";
  return common::format_fixed(seconds / 60, 1) + "dk";
}

Motor::Motor(MotorOptions o) {
  work_dir_ = std::filesystem::weakly_canonical(std::filesystem::absolute(o.work_dir));
  if (work_dir_.has_relative_path() && work_dir_.filename().empty()) work_dir_ = work_dir_.parent_path();
  mode_ = o.mode;
  force_all_ = o.force_all;
  if (o.force_adimlar) force_adimlar_.insert(o.force_adimlar->begin(), o.force_adimlar->end());
  from_step_ = o.from_step;
  muta_filter_path_ = o.muta_filter_path.value_or("");
  file_suffix_ = o.file_suffix;
  console_ = std::move(o.console);
  if (o.data_paths && !o.data_paths->empty()) data_paths_ = std::move(*o.data_paths);
  else if (o.answers) data_paths_ = _load_data_paths(work_dir_, *o.answers, console_);
  else data_paths_ = _load_data_paths(work_dir_, o.input, console_);

  db_path_ = work_dir_ / "db" / (mode_ == "test" ? "kmr_test.duckdb" : "kmr.duckdb");
  output_dir_ = work_dir_ / "outputs" / "json";
  ts_ = local_time("%Y%m%d_%H%M%S", std::time(nullptr));
  season_adi_ = std::string(mode_ == "test" ? "T" : "S") + "_" + ts_ + "_" + mode_ + "_" + kemora::version;
  season_dir_ = work_dir_ / "seasons" / season_adi_;
  meta_dir_ = season_dir_ / "meta";
  log_dir_ = season_dir_ / "logs";
  if (o.create_folders) make_folders();

  clock_ = std::move(o.clock);
  pipeline_baslangic_ = now();
  git_info_ = _git_info(work_dir_.string());
  if (from_step_) skip_before_ = steps_before(*from_step_);
  executor_ = std::move(o.executor);
  if (o.fingerprint_cache)
    fingerprint_cache_ = std::make_shared<FingerprintCache>(work_dir_ / ".kemora" / "fingerprints.db");
}

std::optional<std::filesystem::path> Motor::_nb_path(const std::string& kod) const {
  const AdimKaydi* rec = registry_find(kod);
  if (rec == nullptr) return std::nullopt;
  std::error_code ec;
  auto local = work_dir_ / rec->nb;
  if (std::filesystem::exists(local, ec)) return local;
  try {
    auto packaged = kemora::paths::get_notebooks_dir() / rec->nb;
    if (std::filesystem::exists(packaged)) return packaged;
  } catch (const std::exception&) {
    // No packaged notebooks: the step's notebook counts as not found.
  }
  return std::nullopt;
}

std::string Motor::_resolve(const std::string& key) const { return resolve_data_path(data_paths_, work_dir_, key); }

void Motor::make_folders() {
  if (folders_made_) return;
  std::filesystem::create_directories(meta_dir_);
  std::filesystem::create_directories(log_dir_);
  std::filesystem::create_directories(output_dir_);
  folders_made_ = true;
}

void Motor::say(std::string_view line) const { console_line(console_, line); }

void Motor::set_manifest(const std::string& kod, ManifestEntry entry) {
  for (auto& [k, e] : manifest_adimlar_) {
    if (k == kod) {
      e = std::move(entry);
      return;
    }
  }
  manifest_adimlar_.emplace_back(kod, std::move(entry));
}

NotebookExecutor& Motor::executor() {
  if (!executor_) executor_ = find_default_executor();
  return *executor_;
}

}  // namespace kemora::motor
