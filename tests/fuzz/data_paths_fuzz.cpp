// The data-source configuration file: an error naming the file, or paths
// that every key resolves from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "kemora/motor/data_paths.hpp"

namespace km = kemora::motor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto ws = kemora::fuzz::scratch() / "ws";
  static std::FILE* no_terminal = [&] {
    std::filesystem::create_directories(ws);
    return std::fopen("/dev/null", "r");
  }();
  kemora::fuzz::write_bytes(ws / "local_data_paths.json", std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    km::DataPaths paths = km::_load_data_paths(ws, no_terminal);
    for (const auto& [key, value] : paths) {
      kemora::fuzz::require_utf8(key);
      kemora::fuzz::require_utf8(value);
      km::resolve_data_path(paths, ws, key);  // a configured value, also "", comes back unchanged
    }
    // A key without a value falls back to the workspace's external_data.
    const std::string unset = "no such key \x01";
    if (km::resolve_data_path(paths, ws, unset) != (ws / "external_data" / unset).string()) std::abort();
  } catch (const km::PipelineStopped&) {
    std::abort();  // never asked: no terminal
  } catch (const std::runtime_error&) {
  }
  return 0;
}
