#include "kemora/motor/registry.hpp"

#include "kemora/motor/ingest_sources.hpp"

#include <algorithm>
#include <array>

namespace kemora::motor {
namespace {

/// A registry record and, for an ingest step, the configuration keys of the
/// data folders it reads.
struct Step {
  AdimKaydi record;
  std::array<std::string_view, 2> sources{};
};

constexpr Step kSteps[] = {
    {{"ingest_ddl", "nb_01a_ingest_ddl.ipynb", "DB tablo oluşturma"}},
    {{"ingest_kik", "nb_01b_ingest_kik.ipynb", "KIK izleme CSV"}, {"kik_data_ham_csv"}},
    {{"ingest_kredi", "nb_01c_ingest_kredi.ipynb", "Kredi risk parquet"}, {"kredi_db"}},
    {{"ingest_yis", "nb_01d_ingest_yis.ipynb", "YIS tahmin CSV"}, {"yis_tahmin_data"}},
    {{"ingest_eus", "nb_01e_ingest_eus.ipynb", "EUS tahmin CSV"}, {"eus_tahmin_data"}},
    {{"ingest_hedef_kapsam", "nb_01f_ingest_hedef_kapsam.ipynb", "EUS hedef+kapsam MUTA"},
     {"eus_hedef_muta", "eus_sql_kapsam_muta"}},
    {{"ingest_statik", "nb_01g_ingest_statik.ipynb", "Statik bilgiler TXT"}, {"statik_db"}},
    {{"ingest_train", "nb_01h_ingest_train.ipynb", "Training features parquet"}, {"yis_train_data"}},
    {{"ingest_rkd", "nb_01i_ingest_rkd_memzuc.ipynb", "RKD kriter + Memzuc parquet"}, {"rkd_donem_data"}},
    {{"ingest_memzuc", "nb_01i_ingest_rkd_memzuc.ipynb", "RKD kriter + Memzuc parquet"}, {"memzuc_data_donem"}},
    {{"transform", "nb_02_transform.ipynb", "Bronze → Silver (EUS patch dahil)"}},
    {{"ml_features", "nb_04a_ml_features.ipynb", "ML feature engineering"}},
    {{"ml_train", "nb_04b_ml_train.ipynb", "ML LightGBM eğitimi"}},
    {{"ml_predict", "nb_04c_ml_predict.ipynb", "ML tahmin + SHAP"}},
    {{"marts", "nb_03_marts.ipynb", "Scoreboard + Trending + HTML"}},
    {{"backtest_eus", "nb_05a_backtest_eus.ipynb", "EUS skor backtest"}},
    {{"backtest_yis", "nb_05b_backtest_yis.ipynb", "YIS skor backtest"}},
    {{"backtest_ml", "nb_05c_backtest_ml.ipynb", "ML scoreboard backtest"}},
};

constexpr auto kRegistry = [] {
  std::array<AdimKaydi, std::size(kSteps)> records{};
  for (std::size_t i = 0; i < records.size(); ++i) records[i] = kSteps[i].record;
  return records;
}();
static_assert(kRegistry.size() == 18);

const std::array<Bagimlilik, 19> kDeps{{
    {"ingest_ddl", {}},
    {"ingest_kik", {"ingest_ddl"}},
    {"ingest_kredi", {"ingest_ddl"}},
    {"ingest_yis", {"ingest_ddl"}},
    {"ingest_eus", {"ingest_ddl"}},
    {"ingest_hedef_kapsam", {"ingest_ddl"}},
    {"ingest_statik", {"ingest_ddl"}},
    {"ingest_train", {"ingest_ddl"}},
    {"ingest_rkd", {"ingest_ddl"}},
    {"ingest_memzuc", {"ingest_ddl"}},
    {"transform",
     {"ingest_kik", "ingest_kredi", "ingest_yis", "ingest_eus", "ingest_hedef_kapsam", "ingest_statik",
      "ingest_train", "ingest_rkd", "ingest_memzuc"}},
    {"ml_features", {"transform"}},
    {"ml_train", {"ml_features"}},
    {"ml_predict", {"ml_train", "marts"}},
    {"marts", {"transform"}},
    {"export", {"marts"}},
    {"backtest_eus", {"transform"}},
    {"backtest_yis", {"transform"}},
    {"backtest_ml", {"ml_train", "transform"}},
}};

std::vector<std::string_view> ingest_steps() {
  std::vector<std::string_view> out;
  for (const auto& r : kRegistry)
    if (r.kod.starts_with("ingest_")) out.push_back(r.kod);
  return out;
}

}  // namespace

const std::span<const AdimKaydi> ADIM_REGISTRY{kRegistry};
const std::span<const Bagimlilik> BAGIMLILIK{kDeps};
const std::vector<std::string_view> ALL_INGEST_STEPS = ingest_steps();

const AdimKaydi* registry_find(std::string_view kod) {
  auto it = std::find_if(kRegistry.begin(), kRegistry.end(), [&](const AdimKaydi& r) { return r.kod == kod; });
  return it == kRegistry.end() ? nullptr : &*it;
}

std::span<const std::string_view> ingest_source_keys(std::string_view kod) {
  for (const auto& step : kSteps) {
    if (step.record.kod != kod) continue;
    if (!kod.starts_with("ingest_")) break;
    std::span<const std::string_view> keys(step.sources);
    std::size_t n = 0;
    while (n < keys.size() && !keys[n].empty()) ++n;
    return keys.first(n);
  }
  return {};
}

std::span<const std::string_view> prerequisites(std::string_view kod) {
  for (const auto& d : kDeps)
    if (d.kod == kod) return d.onkosullar;
  return {};
}

std::set<std::string> steps_before(std::string_view from_step) {
  std::set<std::string> out;
  if (from_step.empty() || registry_find(from_step) == nullptr) return out;
  for (const auto& r : kRegistry) {
    if (r.kod == from_step) break;
    out.emplace(r.kod);
  }
  return out;
}

std::vector<std::string> cascade_triggers(std::string_view kod, const std::set<std::string>& ran) {
  std::vector<std::string> out;
  for (auto pre : prerequisites(kod))
    if (ran.count(std::string(pre))) out.emplace_back(pre);
  return out;
}

}  // namespace kemora::motor
