#include "kemora/sanitize.hpp"

#include <chrono>
#include <ctime>
#include <string>

#include "kemora/common/atomic_file.hpp"

namespace kemora::sanitize {

std::string mask_long_numbers(std::string_view text) {
  std::string out(text);
  std::size_t i = 0;
  while (i < out.size()) {
    if (out[i] < '0' || out[i] > '9') {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < out.size() && out[j] >= '0' && out[j] <= '9') ++j;
    if (j - i >= 8) out.replace(i, j - i, j - i, '*');
    i = j;
  }
  return out;
}

void save_error_report(std::string_view error, const std::filesystem::path& db_path, std::string_view context,
                       const std::filesystem::path& output_path) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);

  std::string report;
  report += "Kemora hata raporu\n";
  report += "Zaman: " + std::string(stamp) + "\n";
  report += "Bağlam: " + mask_long_numbers(context) + "\n";
  report += "Veritabanı: " + mask_long_numbers(db_path.string()) + "\n";
  report += "Hata:\n" + mask_long_numbers(error) + "\n";
  kemora::common::write_file_atomic(output_path, report);
}

}  // namespace kemora::sanitize
