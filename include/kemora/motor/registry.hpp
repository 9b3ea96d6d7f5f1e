#pragma once
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// The steps of a pipeline run: their notebooks, descriptions and direct
/// prerequisites. Fixed at compile time, read-only.
namespace kemora::motor {

struct AdimKaydi {
  std::string_view kod;
  std::string_view nb;        ///< notebook file name
  std::string_view aciklama;  ///< one-line Turkish description
};

struct Bagimlilik {
  std::string_view kod;
  std::vector<std::string_view> onkosullar;  ///< direct prerequisites, in report order
};

/// The 18 steps in canonical order (the order `from_step` counts in).
extern const std::span<const AdimKaydi> ADIM_REGISTRY;
/// Step -> direct prerequisites (19 keys; "export" has no registry record).
extern const std::span<const Bagimlilik> BAGIMLILIK;
/// The registry codes that begin with "ingest_", in registry order.
extern const std::vector<std::string_view> ALL_INGEST_STEPS;

/// The registry record of `kod`, or nullptr when the step is not registered.
const AdimKaydi* registry_find(std::string_view kod);

/// Direct prerequisites of `kod`; empty for a code without an entry.
std::span<const std::string_view> prerequisites(std::string_view kod);

/// The steps passed over when a run starts at `from_step`: every registry code
/// strictly before it. Empty when `from_step` is empty or not a registry code.
std::set<std::string> steps_before(std::string_view from_step);

/// The prerequisites of `kod`, in list order, that are in `ran` (the steps that
/// ran successfully so far in this run). A non-empty result means the step
/// runs again by cascade.
std::vector<std::string> cascade_triggers(std::string_view kod, const std::set<std::string>& ran);

}  // namespace kemora::motor
