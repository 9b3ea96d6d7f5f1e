// kemora._services: the package version, the package paths and error reports.
#include <pybind11/pybind11.h>

#include "convert.hpp"
#include "kemora/paths.hpp"
#include "kemora/sanitize.hpp"
#include "kemora/version.hpp"

namespace py = pybind11;
using namespace kemora::python;

PYBIND11_MODULE(_services, m) {
  register_translators();
  m.doc() = "Package services of kemora: version, package paths, error reports.";
  m.attr("__version__") = py::str(static_cast<const char*>(kemora::version));

  m.def("get_share_dir", [] { return to_path(kemora::paths::get_share_dir()); },
        "Root of the package's share folder (<prefix>/share/kemora).");
  m.def("get_notebooks_dir", [] { return to_path(kemora::paths::get_notebooks_dir()); },
        "Folder of the notebooks shipped with the package (it may be empty or absent).");
  m.def("get_template_path", [] { return to_path(kemora::paths::get_template_path()); },
        "The dashboard template file (the one set with set_template_path, else the packaged one).");
  m.def(
      "set_template_path",
      [](py::object path) { kemora::paths::set_template_path(optional_path_arg(path, "path")); },
      py::arg("path"),
      "Points the dashboard template at `path` (str or os.PathLike); None restores the packaged one.");
  m.def("get_js_dir", [] { return to_path(kemora::paths::get_js_dir()); },
        "Folder that may hold d3.min.js and d3-sankey.min.js.");
  m.def("get_runner_path", [] { return to_path(kemora::paths::get_runner_path()); },
        "The bundled notebook runner script.");
  m.def("get_demo_dir", [] { return to_path(kemora::paths::get_demo_dir()); },
        "The demo workspace that ships with the package.");

  m.def(
      "save_error_report",
      [](py::object error, py::object db_path, py::object context, py::object output_path) {
        const std::string e = py::str(error).cast<std::string>();
        const std::string db = path_arg(db_path, "db_path");
        const std::string c = text_arg(context, "context");
        const std::string out = path_arg(output_path, "output_path");
        without_gil([&] { kemora::sanitize::save_error_report(e, db, c, out); });
      },
      py::arg("error"), py::arg("db_path"), py::arg("context"), py::arg("output_path"),
      "Writes a short text report of `error` (any object; its str()) to `output_path`, with runs of 8 or more "
      "digits masked, replacing an earlier report atomically.");
  m.def(
      "mask_long_numbers", [](py::object text) { return kemora::sanitize::mask_long_numbers(text_arg(text, "text")); },
      py::arg("text"), "Replaces every run of 8 or more ASCII digits with '*' characters.");
}
