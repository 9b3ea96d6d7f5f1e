// The end-of-run summary table.

#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/motor.hpp"

namespace kemora::motor {
namespace {

const char* marker(const std::string& durum) {
  if (durum == "OK") return "OK";
  if (durum == "ATLANDI") return "SKIP";
  if (durum == "HATA") return "ERR";
  if (durum == "NB YOK") return "!!";
  return "?";
}

}  // namespace

void Motor::ozet_yazdir() const {
  using common::pad_left;
  using common::pad_right;
  const double toplam = now() - pipeline_baslangic_;
  int ok = 0, atla = 0, hata = 0;
  for (const auto& r : ozet_satirlar_) {
    ok += r.durum == "OK";
    atla += r.durum == "ATLANDI";
    hata += r.durum == "HATA";
  }
  const std::string rule(80, '=');
  say("\n" + rule);
  say("  " + season_adi_ + " | " + common::utf8_upper(mode_));
  say(rule);
  say("  " + pad_right("Adım", 22) + " " + pad_right("Notebook", 38) + " " + pad_left("Süre", 6) + "  Durum");
  say("  ---------------------- -------------------------------------- ------  --------");
  for (const auto& r : ozet_satirlar_)
    say("  " + pad_right(r.adim, 22) + " " + pad_right(r.nb, 38) + " " + pad_left(r.sure, 6) + "  [" +
        marker(r.durum) + "]");
  say("\n  Süre: " + common::format_fixed(toplam / 60, 1) + "dk | OK:" + std::to_string(ok) +
      " Atlandı:" + std::to_string(atla) + " Hata:" + std::to_string(hata));
  say("  Season: " + season_dir_.string());
}

}  // namespace kemora::motor
