#pragma once
#include <filesystem>
#include <optional>

/// Where the files that ship with the package lie. Every path is resolved
/// relative to the folder of the loaded kemora library (<prefix>/lib ->
/// <prefix>/share/kemora), so a build tree and an installed prefix both work.
namespace kemora::paths {

/// Root of the package's share folder (<prefix>/share/kemora).
std::filesystem::path get_share_dir();

/// Folder of the notebooks shipped with the package. It may be empty or absent.
std::filesystem::path get_notebooks_dir();

/// The dashboard template file. A host may point it elsewhere with
/// set_template_path(); resetting it with std::nullopt restores the default.
std::filesystem::path get_template_path();
void set_template_path(std::optional<std::filesystem::path> path);

/// Folder that may hold "d3.min.js" and "d3-sankey.min.js".
std::filesystem::path get_js_dir();

/// The bundled notebook runner script.
std::filesystem::path get_runner_path();

/// The demo workspace that ships with the package.
std::filesystem::path get_demo_dir();

}  // namespace kemora::paths
