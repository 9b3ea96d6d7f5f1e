#pragma once
#include <string_view>

namespace kemora::motor {

/// The outcome of one step of a run. Its words for the step's summary row,
/// the summary table and the manifest live in one table (adim_durumu_bilgisi).
/// KABUL: recorded by accept() as if it had run, without running.
enum class AdimDurumu { OK, ATLANDI, HATA, NB_YOK, KABUL };

struct AdimDurumuBilgisi {
  AdimDurumu durum;
  std::string_view ozet;      ///< OzetSatiri::durum: "OK", "ATLANDI", "HATA", "NB YOK", "KABUL"
  std::string_view isaret;    ///< the mark in the summary table, between brackets
  std::string_view manifest;  ///< the step's "durum" in the run manifest
  bool basarisiz;             ///< the step did not do its work
};

inline constexpr AdimDurumuBilgisi kAdimDurumlari[] = {
    {AdimDurumu::OK, "OK", "OK", "OK", false},
    {AdimDurumu::ATLANDI, "ATLANDI", "SKIP", "ATLANDI", false},
    {AdimDurumu::HATA, "HATA", "ERR", "HATA", true},
    {AdimDurumu::NB_YOK, "NB YOK", "!!", "NB_YOK", true},
    {AdimDurumu::KABUL, "KABUL", "KABUL", "KABUL", false},
};

static_assert([] {
  for (int i = 0; i < 5; ++i)
    if (static_cast<int>(kAdimDurumlari[i].durum) != i) return false;
  return true;
}(), "kAdimDurumlari is in the order of AdimDurumu");

/// The table entry of `d`.
constexpr const AdimDurumuBilgisi& adim_durumu_bilgisi(AdimDurumu d) {
  return kAdimDurumlari[static_cast<int>(d)];
}
/// The summary word of `d` ("NB YOK" for NB_YOK).
constexpr std::string_view ozet_text(AdimDurumu d) { return adim_durumu_bilgisi(d).ozet; }
/// The manifest word of `d` ("NB_YOK" for NB_YOK).
constexpr std::string_view manifest_text(AdimDurumu d) { return adim_durumu_bilgisi(d).manifest; }
/// True for HATA and NB_YOK: a run with such a step did not do all its work.
constexpr bool basarisiz(AdimDurumu d) { return adim_durumu_bilgisi(d).basarisiz; }

}  // namespace kemora::motor
