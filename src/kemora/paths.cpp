#include "kemora/paths.hpp"

#include <dlfcn.h>

#include <mutex>
#include <stdexcept>

namespace kemora::paths {
namespace {

std::filesystem::path library_dir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&library_dir), &info) == 0 || info.dli_fname == nullptr)
    throw std::runtime_error("kemora: cannot find the folder of the loaded kemora library");
  std::error_code ec;
  auto file = std::filesystem::canonical(info.dli_fname, ec);
  if (ec) file = std::filesystem::absolute(info.dli_fname);
  return file.parent_path();
}

std::mutex template_mutex;
std::optional<std::filesystem::path> template_override;

}  // namespace

std::filesystem::path get_share_dir() {
  static const std::filesystem::path dir =
      (library_dir() / KEMORA_LIB_TO_SHARE).lexically_normal();
  return dir;
}

std::filesystem::path get_notebooks_dir() { return get_share_dir() / "notebooks"; }

std::filesystem::path get_template_path() {
  {
    std::lock_guard lock(template_mutex);
    if (template_override) return *template_override;
  }
  return get_share_dir() / "templates" / "kmr_dashboard.html.j2";
}

void set_template_path(std::optional<std::filesystem::path> path) {
  std::lock_guard lock(template_mutex);
  template_override = std::move(path);
}

std::filesystem::path get_js_dir() { return get_share_dir() / "js"; }

std::filesystem::path get_runner_path() { return get_share_dir() / "runner" / "kemora_nb_runner.py"; }

std::filesystem::path get_demo_dir() { return get_share_dir() / "demo"; }

}  // namespace kemora::paths
