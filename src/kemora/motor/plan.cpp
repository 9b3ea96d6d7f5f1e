// The plan: what a run started now would do with each of its steps, and why.
#include "kemora/motor/motor.hpp"

namespace kemora::motor {

std::string_view plan_karar_text(PlanSatiri::Karar k) {
  switch (k) {
    case PlanSatiri::Karar::CALISTIR: return "run";
    case PlanSatiri::Karar::ATLA: return "skip";
    case PlanSatiri::Karar::NB_YOK: return "missing";
  }
  return "?";
}

std::vector<PlanSatiri> Motor::plan(const RunAllOptions& options) const {
  std::vector<PlanSatiri> out;
  std::set<std::string> calisacak;  // planned to run, assumed to succeed (the cascade's view)
  for (const auto& step : run_steps(options)) {
    PlanSatiri row{.kod = step.kod};
    auto nb_path = _nb_path(step.kod);
    if (!nb_path) {
      row.karar = PlanSatiri::Karar::NB_YOK;
      row.sebep = "bulunamadı";
      out.push_back(std::move(row));
      continue;
    }
    row.notebook = nb_path->filename().string();
    // The run fingerprints the notebook before it decides, also for a step
    // passed over by from_step: a notebook it cannot read stops the plan too.
    file_fingerprint(nb_path->string());
    AdimKarari k = adim_karari(step.kod, calisacak, /*tum_kaynaklar=*/true);
    row.karar = k.calistir ? PlanSatiri::Karar::CALISTIR : PlanSatiri::Karar::ATLA;
    row.sebep = std::move(k.sebep);
    row.tetikleyenler = std::move(k.tetikleyenler);
    row.degisen_kaynaklar = std::move(k.degisen_kaynaklar);
    if (k.calistir) calisacak.insert(step.kod);
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace kemora::motor
