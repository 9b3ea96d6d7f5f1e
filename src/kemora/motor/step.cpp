// Processing one pipeline step: decide, run the notebook, record the outcome.
#include <algorithm>

#include "kemora/common/path_text.hpp"
#include "kemora/common/process.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/motor.hpp"
#include "kemora/sanitize.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {
namespace {

// The manifest word of an outcome, as a manifest entry value.
std::string durum_word(AdimDurumu d) { return std::string(manifest_text(d)); }

common::JsonDoc to_json(const Params& params) {
  common::JsonDoc doc(rapidjson::kObjectType);
  auto& a = doc.GetAllocator();
  for (const auto& [key, value] : params) {
    common::Json v;
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::nullptr_t>) v.SetNull();
          else if constexpr (std::is_same_v<T, bool>) v.SetBool(x);
          else if constexpr (std::is_same_v<T, long long>) v.SetInt64(x);
          else if constexpr (std::is_same_v<T, double>) v.SetDouble(x);
          else if constexpr (std::is_same_v<T, JsonParam>) v.CopyFrom(x.value(), a);
          else v = common::json_string(x, a);
        },
        value);
    doc.AddMember(common::json_string(key, a), v, a);
  }
  return doc;
}

void put_param(Params& params, const std::string& key, ParamValue value) {
  for (auto& [k, v] : params) {
    if (k == key) {
      v = std::move(value);
      return;
    }
  }
  params.emplace_back(key, std::move(value));
}

}  // namespace

SourceHashes Motor::fingerprint_sources(const std::vector<std::string>& dirs) const {
  SourceHashes hashes;
  for (const auto& sd : dirs) {
    std::error_code ec;
    if (!std::filesystem::exists(sd, ec)) continue;
    std::vector<std::filesystem::directory_entry> entries;
    for (const auto& e : std::filesystem::directory_iterator(sd)) entries.push_back(e);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return a.path().filename().string() < b.path().filename().string();
    });
    for (const auto& e : entries) {
      if (!e.is_regular_file()) continue;  // follows symbolic links; folders are skipped
      hashes.emplace_back((common::PathText::parse(sd) / e.path().filename().string()).str(),
                          file_fingerprint(e.path().string()));
    }
  }
  return hashes;
}

AdimKarari Motor::adim_karari(const std::string& kod, const std::set<std::string>& calisan,
                              bool tum_kaynaklar) const {
  if (skip_before_.count(kod)) return {.sebep = "--from " + from_step_.value_or(""), .from_atlandi = true};
  const bool force = force_all_ || force_adimlar_.count(kod) > 0;
  AdimKarari k = meta_karari(kod, tum_kaynaklar);
  if (force && !k.calistir) {
    k.sebep = "ZORLA (" + k.sebep + ")";
    k.calistir = true;
  } else if (!k.calistir) {
    k.tetikleyenler = cascade_triggers(kod, calisan);
    if (!k.tetikleyenler.empty()) {
      std::string joined;
      for (const auto& t : k.tetikleyenler) joined += (joined.empty() ? "" : ",") + t;
      k.calistir = true;
      k.sebep = "cascade (" + joined + ")";
    }
  }
  return k;
}

void Motor::ozet_ekle(const std::string& kod, const std::string& nb, const std::string& sure, AdimDurumu d,
                      const std::string& sebep) {
  ozet_satirlar_.push_back({kod, nb, sure, std::string(ozet_text(d)), sebep, d});
}

bool Motor::adim_isle(const std::string& kod, AdimOptions options) {
  const AdimKaydi* rec = registry_find(kod);
  if (rec == nullptr) {
    say("  [!] Bilinmeyen adım: " + kod);
    return false;
  }
  make_folders();
  auto nb_path = _nb_path(kod);
  say("\n  ── " + kod + " | " + std::string(rec->aciklama) + " ──");

  if (!nb_path) {
    say("  [!] Notebook bulunamadı: " + std::string(rec->nb));
    ozet_ekle(kod, std::string(rec->nb), "-", AdimDurumu::NB_YOK, "bulunamadı");
    set_manifest(kod, {{"durum", durum_word(AdimDurumu::NB_YOK)}});
    return false;
  }

  const std::string name = nb_path->filename().string();
  std::string nb_hash = file_fingerprint(nb_path->string());
  say("  " + name + " (" + nb_hash.substr(0, 8) + ")");

  const AdimKarari karar = adim_karari(kod, calisan_adimlar_);
  const std::string& sebep = karar.sebep;
  if (karar.from_atlandi) {
    say("  ATLANDI — " + sebep);
    ozet_ekle(kod, name, "-", AdimDurumu::ATLANDI, sebep);
    set_manifest(kod, {{"durum", durum_word(AdimDurumu::ATLANDI)}, {"sebep", sebep}});
    if (options.kontrol_fn) options.kontrol_fn(work_dir_);
    return true;
  }

  if (!karar.calistir) {
    say("  ATLANDI — " + sebep);
    ozet_ekle(kod, name, "-", AdimDurumu::ATLANDI, sebep);
    set_manifest(kod, {{"notebook", name}, {"durum", durum_word(AdimDurumu::ATLANDI)}, {"sebep", sebep}});
    if (options.kontrol_fn) options.kontrol_fn(work_dir_);
    return true;
  }

  say("  ÇALIŞTIRILIYOR — " + sebep);
  const double t0 = now();

  Params params{{"DB_PATH", db_path_.string()}, {"OUTPUT_DIR", output_dir_.string()}, {"WORK_DIR", work_dir_.string()}};
  if (!muta_filter_path_.empty()) params.emplace_back("MUTA_FILTER_PATH", muta_filter_path_);
  if (!file_suffix_.empty()) params.emplace_back("FILE_SUFFIX", file_suffix_);
  if (options.ek_params)
    for (const auto& [k, v] : *options.ek_params) put_param(params, k, v);
  const auto out_nb = log_dir_ / ("adim_" + kod + "_" + name);

  try {
    common::JsonDoc param_json = to_json(params);
    executor().execute(*nb_path, out_nb, param_json, work_dir_);
    const double sure = now() - t0;
    const std::string sure_str = sure_text(sure);
    SourceHashes source_hashes;
    if (options.source_dirs) source_hashes = fingerprint_sources(*options.source_dirs);
    meta_yaz(kod, *nb_path, sure, source_hashes);
    calisan_adimlar_.insert(kod);
    say("  OK " + sure_str);
    ozet_ekle(kod, name, sure_str, AdimDurumu::OK, sebep);
    set_manifest(kod, {{"notebook", name}, {"durum", durum_word(AdimDurumu::OK)}, {"sure", sure_str}});
    if (options.kontrol_fn) options.kontrol_fn(work_dir_);
    return true;
  } catch (const std::exception& e) {
    // An interrupt (common::ProcessInterrupted) is no std::exception: it
    // passes here and ends the run; it is not a failed step.
    const std::string sure_str = sure_text(now() - t0);
    const std::string hata = common::utf8_prefix(e.what(), 300);
    say("  HATA — " + sure_str + "\n  " + hata);
    try {
      auto report_path = season_dir_ / "error_report.txt";
      kemora::sanitize::save_error_report(e.what(), db_path_, "step=" + kod, report_path);
      say("  Hata raporu: " + report_path.string());
    } catch (const std::exception&) {
      // The report is a courtesy; the step is recorded as failed either way.
    }
    ozet_ekle(kod, name, sure_str, AdimDurumu::HATA, common::utf8_prefix(hata, 80));
    set_manifest(kod, {{"notebook", name}, {"durum", durum_word(AdimDurumu::HATA)}, {"hata", hata}});
    return false;
  }
}

}  // namespace kemora::motor
