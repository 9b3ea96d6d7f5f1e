// Removal of error reports left by earlier runs.
#include <iostream>

#include "kemora/motor/motor.hpp"

namespace kemora::motor {

void Motor::_temizle_error_reports() const {
  int silinen = 0;
  auto seasons = work_dir_ / "seasons";
  if (std::filesystem::exists(seasons)) {
    // Collect first, delete after: removing entries while iterating is undefined.
    std::vector<std::filesystem::path> reports;
    for (auto it = std::filesystem::recursive_directory_iterator(seasons);
         it != std::filesystem::recursive_directory_iterator(); ++it) {
      // The current season's report belongs to this run: the run announced it.
      if (it->path() == season_dir_) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->path().filename() == "error_report.txt") reports.push_back(it->path());
    }
    for (const auto& p : reports) {
      std::filesystem::remove(p);
      ++silinen;
    }
  }
  for (const auto& p : {work_dir_ / "outputs" / "json" / "error_report.txt", work_dir_ / "outputs" / "error_report.txt"}) {
    if (std::filesystem::exists(p)) {
      std::filesystem::remove(p);
      ++silinen;
    }
  }
  if (silinen > 0) std::cout << "  Temizlik: " << silinen << " eski error_report silindi\n" << std::flush;
}

}  // namespace kemora::motor
