// The run manifest: season, options, repository, outcome and every step.
#include "kemora/common/numfmt.hpp"
#include "kemora/motor/motor.hpp"
#include "kemora/version.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {

std::filesystem::path Motor::manifest_yaz() const {
  const double elapsed = now() - pipeline_baslangic_;
  std::int64_t ok = 0, atlandi = 0, hata = 0;
  for (const auto& r : ozet_satirlar_) {
    ok += r.sonuc == AdimDurumu::OK;
    atlandi += r.sonuc == AdimDurumu::ATLANDI;
    hata += r.sonuc == AdimDurumu::HATA;
  }

  common::JsonDoc m(rapidjson::kObjectType);
  auto& a = m.GetAllocator();
  auto text = [&](std::string_view s) { return common::json_string(s, a); };
  m.AddMember("season", text(season_adi_), a);
  m.AddMember("pipeline_ts", text(ts_), a);
  m.AddMember("pkg_version", text(kemora::version), a);
  m.AddMember("tarih", text(iso_now()), a);
  m.AddMember("mode", text(mode_), a);
  m.AddMember("git", common::Json(git_info_, a), a);

  common::Json params(rapidjson::kObjectType);
  params.AddMember("force_all", force_all_, a);
  common::Json forced(rapidjson::kArrayType);
  for (const auto& k : force_adimlar_) forced.PushBack(text(k), a);
  params.AddMember("force_adimlar", forced, a);
  params.AddMember("from_step", from_step_ ? text(*from_step_) : common::Json(rapidjson::kNullType), a);
  m.AddMember("parametreler", params, a);

  common::Json sonuc(rapidjson::kObjectType);
  sonuc.AddMember("toplam_sure_dk", common::round_decimal(elapsed / 60, 1), a);
  sonuc.AddMember("ok", ok, a);
  sonuc.AddMember("atlandi", atlandi, a);
  sonuc.AddMember("hata", hata, a);
  m.AddMember("sonuc", sonuc, a);

  common::Json adimlar(rapidjson::kObjectType);
  for (const auto& [kod, entry] : manifest_adimlar_) {
    common::Json e(rapidjson::kObjectType);
    for (const auto& [k, v] : entry) e.AddMember(text(k), text(v), a);
    adimlar.AddMember(text(kod), e, a);
  }
  m.AddMember("adimlar", adimlar, a);

  auto path = meta_dir_ / ("manifest_" + ts_ + ".json");
  common::json_write_file(path, m);
  say("\n  Manifest: " + path.string());
  return path;
}

}  // namespace kemora::motor
