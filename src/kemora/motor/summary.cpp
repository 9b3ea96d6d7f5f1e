// The end-of-run summary table.

#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/motor.hpp"

namespace kemora::motor {

bool Motor::any_failed() const {
  for (const auto& r : ozet_satirlar_)
    if (basarisiz(r.sonuc)) return true;
  return false;
}

void Motor::ozet_yazdir() const {
  using common::pad_left;
  using common::pad_right;
  const double toplam = now() - pipeline_baslangic_;
  int ok = 0, atla = 0, hata = 0;
  for (const auto& r : ozet_satirlar_) {
    ok += r.sonuc == AdimDurumu::OK;
    atla += r.sonuc == AdimDurumu::ATLANDI;
    hata += r.sonuc == AdimDurumu::HATA;
  }
  const std::string rule(80, '=');
  say("\n" + rule);
  say("  " + season_adi_ + " | " + common::utf8_upper(mode_));
  say(rule);
  say("  " + pad_right("Adım", 22) + " " + pad_right("Notebook", 38) + " " + pad_left("Süre", 6) + "  Durum");
  say("  ---------------------- -------------------------------------- ------  --------");
  for (const auto& r : ozet_satirlar_)
    say("  " + pad_right(r.adim, 22) + " " + pad_right(r.nb, 38) + " " + pad_left(r.sure, 6) + "  [" +
        std::string(adim_durumu_bilgisi(r.sonuc).isaret) + "]");
  say("\n  Süre: " + common::format_fixed(toplam / 60, 1) + "dk | OK:" + std::to_string(ok) +
      " Atlandı:" + std::to_string(atla) + " Hata:" + std::to_string(hata));
  say("  Season: " + season_dir_.string());
}

}  // namespace kemora::motor
