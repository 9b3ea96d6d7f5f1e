// Accepting steps: their present notebooks and sources recorded as if each
// had just run successfully, without running anything.
#include <stdexcept>

#include "kemora/common/json.hpp"
#include "kemora/motor/motor.hpp"

namespace kemora::motor {

std::filesystem::path Motor::accept(const std::vector<std::string>& kodlar) {
  struct Kabul {
    std::string kod;
    std::filesystem::path nb_path;
    SourceHashes sources;
  };
  std::vector<Kabul> steps;
  std::string problems;
  auto problem = [&](const std::string& text) { problems += (problems.empty() ? "" : "; ") + text; };
  for (const auto& kod : kodlar) {
    bool seen = false;
    for (const auto& s : steps) seen = seen || s.kod == kod;
    if (seen) continue;
    const AdimKaydi* rec = registry_find(kod);
    if (rec == nullptr) {
      problem("unknown step '" + kod + "' (see 'kemora steps')");
      continue;
    }
    auto nb_path = _nb_path(kod);
    if (!nb_path) {
      problem(kod + ": notebook " + std::string(rec->nb) + " not found in " + work_dir_.string() +
              " nor in the package's notebooks");
      continue;
    }
    steps.push_back({kod, *nb_path, {}});
  }
  if (!problems.empty()) throw std::invalid_argument(problems + "; nothing was recorded");
  if (steps.empty()) throw std::invalid_argument("no step given; nothing was recorded");

  // Every file is read before anything is written: a notebook or source file
  // that cannot be read leaves no season behind.
  for (auto& s : steps) {
    file_fingerprint(s.nb_path.string());
    if (auto dirs = source_dirs(s.kod)) s.sources = fingerprint_sources(*dirs);
  }

  make_folders();
  common::JsonDoc kabul(rapidjson::kObjectType);
  kabul.AddMember("kabul", true, kabul.GetAllocator());
  for (const auto& s : steps) {
    const std::string name = s.nb_path.filename().string();
    common::JsonDoc rec = meta_yaz(s.kod, s.nb_path, 0.0, s.sources, &kabul);
    const std::string nb8 = std::string(rec["nb_hash"].GetString()).substr(0, 8);
    std::string line = "  KABUL — " + s.kod + ": " + name + " (" + nb8 + ")";
    if (!s.sources.empty()) line += ", " + std::to_string(s.sources.size()) + " kaynak dosya";
    say(line);
    ozet_ekle(s.kod, name, "-", AdimDurumu::KABUL, "kabul edildi");
    set_manifest(s.kod, {{"notebook", name}, {"durum", std::string(manifest_text(AdimDurumu::KABUL))}});
  }
  return manifest_yaz();
}

}  // namespace kemora::motor
