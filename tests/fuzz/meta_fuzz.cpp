// The run decision over a hostile meta record of an earlier season: a
// decision and a reason that is valid UTF-8, whatever the record holds.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "kemora/motor/motor.hpp"

namespace km = kemora::motor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto ws = kemora::fuzz::scratch() / "ws";
  static std::unique_ptr<km::Motor> motor = [] {
    std::filesystem::create_directories(ws / "seasons" / "S_00000000_000000" / "meta");
    std::filesystem::create_directories(ws / "data");
    kemora::fuzz::write_bytes(ws / "nb_03_marts.ipynb", "{\"cells\": []}");
    kemora::fuzz::write_bytes(ws / "nb_01b_ingest_kik.ipynb", "{\"cells\": [1]}");
    kemora::fuzz::write_bytes(ws / "data" / "kik.csv", "a,b\n1,2\n");
    return std::make_unique<km::Motor>(km::MotorOptions{
        .work_dir = ws.string(), .mode = "prod", .data_paths = km::DataPaths{}, .input = std::fopen("/dev/null", "r")});
  }();
  // The first byte picks the step: one with a notebook, one whose
  // notebook is missing, one with source data.
  if (size == 0) return 0;
  static const char* const kSteps[] = {"marts", "ingest_kik", "ml_train"};
  const std::string_view record(reinterpret_cast<const char*>(data) + 1, size - 1);
  for (const char* kod : {kSteps[data[0] % 3]}) {
    kemora::fuzz::write_bytes(ws / "seasons" / "S_00000000_000000" / "meta" / ("adim_" + std::string(kod) + ".json"),
                              record);
    try {
      const auto [run, reason] = motor->meta_kontrol(kod);
      kemora::fuzz::require_utf8(reason);
      if (reason.empty()) std::abort();
    } catch (const std::runtime_error&) {
      // a recorded source that cannot be read
    }
  }
  return 0;
}
