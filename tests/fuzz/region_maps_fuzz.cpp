// The reference CSV of region and branch names, with rows whose codes are met
// in it: reading never crashes, and the lists it gives write as valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/code_table.hpp"

namespace pg = kemora::pipeline::panogen;
using namespace kemora::common;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto csv = kemora::fuzz::scratch() / "ref.csv";
  kemora::fuzz::write_bytes(csv, std::string_view(reinterpret_cast<const char*>(data), size));
  static const JsonDoc rows = json_parse(
      R"([{"bolge_kodu": "10", "sube_kodu": "1"}, {"bolge_kodu": 10, "sube_kodu": 2},)"
      R"( {"bolge_kodu": "20", "sube_kodu": "3"}, {"bolge_kodu": null, "sube_kodu": "a"}, {"sube_kodu": 1.5}])",
      "rows");
  try {
    pg::BolgeSubeMaps maps = pg::_build_bolge_sube_maps(rows, csv.string());
    for (const Json* v : {&static_cast<const Json&>(maps.BOLGE_LIST), &static_cast<const Json&>(maps.SUBE_LIST)})
      kemora::fuzz::require_utf8(json_dumps(*v, {.html_safe = true}));
  } catch (const std::runtime_error&) {
  }
  return 0;
}
