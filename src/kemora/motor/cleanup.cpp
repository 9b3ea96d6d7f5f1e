// Removal of error reports left by earlier runs.
#include "kemora/motor/motor.hpp"

namespace kemora::motor {

void Motor::_temizle_error_reports() const {
  int silinen = 0;
  // Only files are removed: a folder that happens to carry the name is the
  // user's, and a folder we cannot read is passed over.
  auto is_file = [](const std::filesystem::path& p) {
    std::error_code ec;
    const auto st = std::filesystem::symlink_status(p, ec);
    return !ec && (std::filesystem::is_regular_file(st) || std::filesystem::is_symlink(st));
  };
  auto seasons = work_dir_ / "seasons";
  std::error_code ec;
  if (std::filesystem::is_directory(seasons, ec)) {
    // Collect first, delete after: removing entries while iterating is undefined.
    std::vector<std::filesystem::path> reports;
    for (auto it = std::filesystem::recursive_directory_iterator(
             seasons, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      // The current season's report belongs to this run: the run announced it.
      if (it->path() == season_dir_) {
        it.disable_recursion_pending();
        continue;
      }
      if (it->path().filename() == "error_report.txt" && is_file(it->path())) reports.push_back(it->path());
    }
    for (const auto& p : reports)
      if (std::filesystem::remove(p, ec)) ++silinen;
  }
  for (const auto& p : {work_dir_ / "outputs" / "json" / "error_report.txt", work_dir_ / "outputs" / "error_report.txt"}) {
    if (is_file(p) && std::filesystem::remove(p, ec)) ++silinen;
  }
  if (silinen > 0) say("  Temizlik: " + std::to_string(silinen) + " eski error_report silindi");
}

}  // namespace kemora::motor
