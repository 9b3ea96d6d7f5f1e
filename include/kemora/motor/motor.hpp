#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kemora/json.hpp"
#include "kemora/console_sink.hpp"
#include "kemora/motor/data_paths.hpp"
#include "kemora/motor/executor.hpp"
#include "kemora/motor/fingerprint.hpp"
#include "kemora/motor/registry.hpp"
#include "kemora/motor/step_outcome.hpp"

/// The pipeline engine: one Motor serves one pipeline run.
namespace kemora::motor {

/// A list or map notebook parameter: any JSON value, held in a document of
/// its own and copied deeply with the parameter.
class JsonParam {
 public:
  explicit JsonParam(const Json& value) { doc_.CopyFrom(value, doc_.GetAllocator()); }
  JsonParam(const JsonParam& other) : JsonParam(other.value()) {}
  JsonParam& operator=(const JsonParam& other) {
    if (this != &other) {
      JsonParam copy(other);
      doc_.Swap(copy.doc_);
    }
    return *this;
  }
  JsonParam(JsonParam&&) noexcept = default;
  JsonParam& operator=(JsonParam&&) noexcept = default;
  const Json& value() const { return doc_; }

 private:
  JsonDoc doc_;
};

/// A notebook parameter value: its type reaches the notebook unchanged.
using ParamValue = std::variant<std::nullptr_t, bool, long long, double, std::string, JsonParam>;
/// Notebook parameters in order.
using Params = std::vector<std::pair<std::string, ParamValue>>;
/// Source file path text -> fingerprint, in order.
using SourceHashes = std::vector<std::pair<std::string, std::string>>;

class FingerprintCache;

/// Seconds since the Unix epoch, as a real.
double now_seconds();

struct MotorOptions {
  std::string work_dir = ".";
  std::string mode = "prod";
  bool force_all = false;
  std::optional<std::vector<std::string>> force_adimlar;
  std::optional<std::string> from_step;
  std::optional<std::string> muta_filter_path;
  std::string file_suffix;
  /// When absent or empty, the data-source configuration is loaded from the
  /// working directory (which may ask on the terminal).
  std::optional<DataPaths> data_paths;
  /// Fix the run's state without creating the season folders or outputs/json
  /// (for plan()). run_all, adim_isle and accept create them when they start.
  bool create_folders = true;
  /// The notebook executor; when null, the default one is looked up on first use.
  std::shared_ptr<NotebookExecutor> executor;
  /// Where the data-source question reads its answer.
  std::FILE* input = stdin;
  /// Wall clock in seconds since the epoch for durations; the system clock
  /// when empty. Tests set it to measure fixed durations.
  std::function<double()> clock;
  /// Receives every console line of the run (see kemora::ConsoleSink);
  /// standard output, flushed per line, when empty.
  ConsoleSink console;
  /// When set, the data-source question reads its answer here instead of
  /// from `input` (a host with its own standard input object).
  std::optional<AnswerSource> answers;
  /// Keep the fingerprints of unchanged files in work_dir/.kemora/ and read
  /// them from there instead of hashing the files again. When false, every
  /// file is hashed and nothing of the cache is read or created.
  bool fingerprint_cache = true;
};

/// One line of the run summary. `durum` is the summary word of `sonuc`.
struct OzetSatiri {
  std::string adim, nb, sure, durum, sebep;
  AdimDurumu sonuc = AdimDurumu::OK;
};

/// A manifest step entry: text keys and values, in order.
using ManifestEntry = std::vector<std::pair<std::string, std::string>>;

struct AdimOptions {
  std::optional<Params> ek_params;
  /// Verification hook, called with the working directory.
  std::function<void(const std::filesystem::path&)> kontrol_fn;
  std::optional<std::vector<std::string>> source_dirs;
};

struct RunAllOptions {
  bool skip_ingest = false;
  bool skip_backtest = false;
  bool skip_ml = false;
  std::optional<std::vector<std::string>> referans_tarih_list;
  long long test_muta_count = 0;
};

/// What a run does with one step before its notebook would start, and why
/// (adim_karari): the one decision that adim_isle acts on and plan() reports.
struct AdimKarari {
  bool calistir = false;
  /// The reason as the step line prints it: the run decision's text, or
  /// "--from <step>", "ZORLA (<reason>)", "cascade (<a>,<b>)".
  std::string sebep;
  /// Passed over because of from_step (the run decision is not consulted).
  bool from_atlandi = false;
  /// The prerequisites, in list order, whose run in this run cascades the step.
  std::vector<std::string> tetikleyenler;
  /// Recorded source files whose fingerprint differs now, in record order
  /// (only filled when asked for; files that no longer exist are passed over).
  std::vector<std::string> degisen_kaynaklar;
};

/// One step of a plan: what a run started now with the same options would do.
struct PlanSatiri {
  enum class Karar { CALISTIR, ATLA, NB_YOK };
  std::string kod;
  /// The notebook's file name; none when it is not found (Karar::NB_YOK).
  std::optional<std::string> notebook;
  Karar karar = Karar::ATLA;
  /// The text the run's step line shows ("bulunamadı" for a missing notebook).
  std::string sebep;
  std::vector<std::string> tetikleyenler;
  std::vector<std::string> degisen_kaynaklar;
};

/// "run", "skip" or "missing".
std::string_view plan_karar_text(PlanSatiri::Karar k);

class Motor {
 public:
  /// Loads the data-source configuration (it may throw PipelineStopped before
  /// anything is created), fixes the season, creates the season's "meta" and
  /// "logs" folders and "outputs/json", and reads the repository information.
  /// Throws std::runtime_error naming the configuration file when it cannot
  /// be read, std::filesystem::filesystem_error when a folder cannot be made.
  explicit Motor(MotorOptions options = {});

  // Engine attributes, fixed at construction. The season is
  // "<T|S>_<ts>_<mode>_<version>" under work_dir/seasons; db_path is
  // work_dir/db/kmr.duckdb (kmr_test.duckdb in mode test); output_dir is
  // work_dir/outputs/json; git_info is what _git_info found.
  const std::filesystem::path& work_dir() const { return work_dir_; }
  const std::string& mode() const { return mode_; }
  bool force_all() const { return force_all_; }
  const std::set<std::string>& force_adimlar() const { return force_adimlar_; }
  const std::optional<std::string>& from_step() const { return from_step_; }
  const std::string& muta_filter_path() const { return muta_filter_path_; }
  const std::string& file_suffix() const { return file_suffix_; }
  const DataPaths& data_paths() const { return data_paths_; }
  const std::filesystem::path& db_path() const { return db_path_; }
  const std::filesystem::path& output_dir() const { return output_dir_; }
  const std::string& ts() const { return ts_; }
  const std::string& season_adi() const { return season_adi_; }
  const std::filesystem::path& season_dir() const { return season_dir_; }
  const std::filesystem::path& meta_dir() const { return meta_dir_; }
  const std::filesystem::path& log_dir() const { return log_dir_; }
  double pipeline_baslangic() const { return pipeline_baslangic_; }
  const Json& git_info() const { return git_info_; }
  const std::set<std::string>& _skip_before() const { return skip_before_; }

  // Collections grown by adim_isle: the steps that ran successfully in this
  // run (what the cascade looks at), the summary rows and the manifest
  // entries, in the order the steps were processed.
  const std::set<std::string>& calisan_adimlar() const { return calisan_adimlar_; }
  const std::vector<OzetSatiri>& ozet_satirlar() const { return ozet_satirlar_; }
  const std::vector<std::pair<std::string, ManifestEntry>>& manifest_adimlar() const { return manifest_adimlar_; }

  /// The step's notebook: work_dir/<nb> when it exists, else the package's
  /// notebooks folder; none when neither holds it or the step is unknown.
  std::optional<std::filesystem::path> _nb_path(const std::string& kod) const;

  /// The folder of a data-source key (configured value, else external_data/key).
  std::string _resolve(const std::string& key) const;

  /// The newest step meta record of `kod` in an earlier season of the same
  /// kind ("T_" for mode test, "S_" otherwise); unreadable records are passed
  /// over. None when there is none, or when the newest readable one holds null.
  std::optional<JsonDoc> _find_prev_meta(const std::string& kod) const;

  /// The content fingerprint (_file_hash) of a notebook or source file: the
  /// one place where the engine fingerprints files. Taken from the working
  /// directory's fingerprint cache when it knows the file in its present
  /// state (MotorOptions::fingerprint_cache). Throws as _file_hash.
  std::string file_fingerprint(const std::string& path) const;

  /// The run decision with, when `tum_kaynaklar`, every recorded source file
  /// that changed (the decision itself still names the first). A source file
  /// that the decision does not need and that cannot be read counts as
  /// changed instead of raising.
  AdimKarari meta_karari(const std::string& kod, bool tum_kaynaklar = false) const;

  /// The decision of step `kod` (step.cpp) after its notebook was found:
  /// from_step, then the run decision, forcing and the cascade over `calisan`
  /// (the steps that ran successfully so far). Throws as meta_kontrol.
  AdimKarari adim_karari(const std::string& kod, const std::set<std::string>& calisan,
                         bool tum_kaynaklar = false) const;

  /// The run decision (meta.cpp): (must run, reason). A step runs when it has
  /// no earlier record, or its notebook's content hash, its git object or a
  /// source data fingerprint differs from the record's; the reason is the
  /// Turkish text the step line and the summary show. Never throws for a
  /// damaged record (it is passed over).
  std::pair<bool, std::string> meta_kontrol(const std::string& kod) const;

  /// Writes the step meta record of `kod` into this season's meta folder
  /// (meta.cpp; atomically, flushed to disk) and returns it. Throws
  /// std::runtime_error naming the notebook when it cannot be hashed, or the
  /// record's file when it cannot be written.
  JsonDoc meta_yaz(const std::string& kod, const std::filesystem::path& nb_path, double sure,
                           const std::optional<SourceHashes>& source_hashes = std::nullopt,
                           const Json* ekstra = nullptr) const;

  /// Processes one step (step.cpp): prints its lines, decides, runs the
  /// notebook through the executor into logs/, and records the outcome in the
  /// summary rows and manifest entries (and, on success, a meta record). True
  /// when the step ran successfully or was skipped. A failing notebook is an
  /// outcome (HATA, with error_report.txt in the season folder), not an
  /// exception; ProcessInterrupted and console sink errors pass through.
  bool adim_isle(const std::string& kod, AdimOptions options = {});

  /// Runs the whole pipeline (driver.cpp): the steps of the run in registry
  /// order, then the clean-up, the summary and the manifest. Returns the path
  /// of the run manifest. Failed steps do not throw; ask any_failed().
  std::filesystem::path run_all(const RunAllOptions& options = {});

  /// What run_all(options) started now would do with each step it processes,
  /// in its order (plan.cpp): a cascade is predicted from the steps planned to
  /// run before (as if they succeed). Runs nothing, creates, writes and deletes
  /// nothing. Throws as run_all would before a step's notebook starts (an
  /// unreadable notebook or recorded source file).
  std::vector<PlanSatiri> plan(const RunAllOptions& options = {}) const;

  /// Records `kodlar` as if each had just run successfully (accept.cpp): a meta
  /// record per step from the current notebook, git object and source files
  /// (the source folders run_all gives the step), with sure_saniye 0.0 and a
  /// last member "kabul": true; a summary row and a manifest entry with durum
  /// "KABUL"; then the manifest. Prints one line per step and runs nothing.
  /// Every code is checked and every file fingerprinted before anything is
  /// written: std::invalid_argument names each unknown code and missing
  /// notebook. Returns the manifest's path.
  std::filesystem::path accept(const std::vector<std::string>& kodlar);

  /// True when a step of this run failed or found no notebook (HATA, NB YOK).
  bool any_failed() const;

  /// Prints the summary table of the steps processed so far (summary.cpp):
  /// one line per step with its table mark, the total time and the counts of
  /// OK, skipped and failed steps, and the season folder.
  void ozet_yazdir() const;
  /// Writes the run manifest meta/manifest_<ts>.json (manifest.cpp:
  /// season, versions, git, parameters, counts, one entry per step, in that
  /// order; atomically), prints its path and returns it. Throws
  /// std::runtime_error naming the file when it cannot be written.
  std::filesystem::path manifest_yaz() const;
  /// Removes the error_report.txt files that earlier runs left in other
  /// seasons and in outputs/ (cleanup.cpp); only files, never folders, and
  /// never this season's own report. Prints how many it removed, if any.
  void _temizle_error_reports() const;

 private:
  /// One step of a whole run and what run_all hands adim_isle for it.
  struct RunStep {
    std::string kod;
    AdimOptions options;
  };
  /// The steps run_all processes, in its order (driver.cpp).
  std::vector<RunStep> run_steps(const RunAllOptions& o) const;
  /// The source folders run_all gives step `kod`; none for a step without.
  std::optional<std::vector<std::string>> source_dirs(const std::string& kod) const;
  /// Fingerprints of the regular files directly inside `dirs` (step.cpp).
  SourceHashes fingerprint_sources(const std::vector<std::string>& dirs) const;
  /// Creates meta/, logs/ and outputs/json, once per engine.
  void make_folders();
  void set_manifest(const std::string& kod, ManifestEntry entry);
  /// Adds the summary row of a step with outcome `d`.
  void ozet_ekle(const std::string& kod, const std::string& nb, const std::string& sure, AdimDurumu d,
                 const std::string& sebep);
  double now() const { return clock_ ? clock_() : now_seconds(); }
  /// One console line of the engine, through the configured sink.
  void say(std::string_view line) const;
  NotebookExecutor& executor();

  std::filesystem::path work_dir_;
  std::string mode_;
  bool force_all_ = false;
  std::set<std::string> force_adimlar_;
  std::optional<std::string> from_step_;
  std::string muta_filter_path_;
  std::string file_suffix_;
  DataPaths data_paths_;
  std::filesystem::path db_path_, output_dir_;
  std::string ts_, season_adi_;
  std::filesystem::path season_dir_, meta_dir_, log_dir_;
  std::set<std::string> calisan_adimlar_;
  std::vector<OzetSatiri> ozet_satirlar_;
  std::vector<std::pair<std::string, ManifestEntry>> manifest_adimlar_;
  double pipeline_baslangic_ = 0;
  JsonDoc git_info_;
  std::set<std::string> skip_before_;
  bool folders_made_ = false;
  std::shared_ptr<NotebookExecutor> executor_;
  std::shared_ptr<FingerprintCache> fingerprint_cache_;  // null when turned off
  std::function<double()> clock_;
  ConsoleSink console_;
};

/// Local time now as "%Y-%m-%dT%H:%M:%S" plus ".ffffff" unless the
/// microseconds are zero.
std::string iso_now();
/// "42s" below 60 seconds, else minutes with one decimal and "dk" ("2.5dk").
std::string sure_text(double seconds);

}  // namespace kemora::motor
