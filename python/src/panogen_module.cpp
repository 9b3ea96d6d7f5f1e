// kemora._panogen: the dashboard renderer (kemora.pipeline.panogen) over the
// public C++ API. The module checks its arguments, turns Python values into
// JSON values and back, and leaves every rule of the rendering to the library.
#include <pybind11/pybind11.h>

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <memory>

#include "convert.hpp"
#include "kemora/errors.hpp"
#include "kemora/pipeline/panogen/constants.hpp"
#include "kemora/pipeline/panogen/errors.hpp"
#include "kemora/pipeline/panogen/region_maps.hpp"
#include "kemora/pipeline/panogen/render.hpp"
#include "kemora/pipeline/panogen/row_encoding.hpp"
#include "kemora/pipeline/panogen/trending.hpp"

namespace py = pybind11;
namespace pg = kemora::pipeline::panogen;
using namespace kemora::python;
using kemora::Json;
using kemora::JsonDoc;

namespace {

// The module's exception classes; created once at import and kept for the
// life of the interpreter.
PyObject* template_error = nullptr;
PyObject* template_not_found = nullptr;

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const pg::TemplateNotFound& e) {
    PyErr_SetString(template_not_found, e.what());
  } catch (const pg::TemplateError& e) {
    PyErr_SetString(template_error, e.what());
  } catch (const pg::ScoreboardError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  }
}

/// Runs `f`, turning the library's complaints about an in-memory value
/// (std::runtime_error, std::invalid_argument) into TypeError: the value
/// handed in is not of the kind a position or a list needs.
template <typename F>
decltype(auto) value_errors_as_type_errors(F&& f) {
  try {
    return f();
  } catch (const py::error_already_set&) {
    throw;
  } catch (const std::invalid_argument& e) {
    throw py::type_error(e.what());
  } catch (const std::runtime_error& e) {
    throw py::type_error(e.what());
  }
}

/// A list (or tuple) argument as a JSON array.
JsonDoc list_arg(py::handle v, const char* what) {
  if (PyTuple_Check(v.ptr())) return doc_from_python(py::list(py::reinterpret_borrow<py::object>(v)), what);
  if (!PyList_Check(v.ptr())) type_error(what, "list", v);
  return doc_from_python(v, what);
}

JsonDoc dict_arg(py::handle v, const char* what) {
  if (!PyDict_Check(v.ptr())) type_error(what, "dict", v);
  return doc_from_python(v, what);
}

/// The CodeMap key of a Python code: None and values that cannot stand for
/// a code in a row (anything but str, int, float, bool) have none.
std::optional<std::string> code_key_of(py::handle code) {
  PyObject* o = code.ptr();
  if (!(PyUnicode_Check(o) || PyLong_Check(o) || PyFloat_Check(o))) return std::nullopt;
  JsonDoc doc;
  try {
    doc = doc_from_python(code, "code");
  } catch (const py::error_already_set&) {
    return std::nullopt;  // an int beyond 64 bits: no row value can equal it
  }
  return pg::code_key(doc);
}

/// BOLGE_MAP / SUBE_MAP as the library takes them. A CodeMap brings its
/// exact keys along; the keys of any other mapping are keyed by their type
/// and text, so that 101.0 does not find the key 101.
pg::CodeMap code_map_arg(py::handle v, const char* what) {
  pg::CodeMap out;
  py::object exact = py::getattr(v, "_exact", py::none());
  if (PyDict_Check(exact.ptr())) {
    for (auto [key, pos] : py::reinterpret_borrow<py::dict>(exact))
      out.emplace(key.cast<std::string>(), static_cast<int>(int_arg(pos, what)));
    return out;
  }
  if (!PyDict_Check(v.ptr())) type_error(what, "dict", v);
  for (auto [code, pos] : py::reinterpret_borrow<py::dict>(v)) {
    const int position = static_cast<int>(int_arg(pos, (std::string(what) + " value").c_str()));
    if (auto key = code_key_of(code)) out.emplace(std::move(*key), position);
  }
  return out;
}

/// A CodeMap (kemora.pipeline.panogen.CodeMap) of the codes of `list` (the
/// `kodu` of each record) to their positions.
py::object code_map_of(const JsonDoc& list) {
  py::object cls = py::module_::import("kemora.pipeline.panogen").attr("CodeMap");
  py::list codes, keys;
  for (const Json& record : list.GetArray()) {
    const Json& kodu = record["kodu"];
    codes.append(to_python(kodu));
    keys.append(py::str(*pg::code_key(kodu)));
  }
  return cls.attr("_of")(codes, keys);
}

py::object mio(py::handle v) {
  PyObject* o = v.ptr();
  JsonDoc doc;
  if (PyLong_Check(o) && !PyBool_Check(o)) {
    // Beyond 64 bits an int is read as float() would read it.
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      doc.SetInt64(i);
    } else {
      const double d = PyLong_AsDouble(o);
      if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return py::none();  // too large for a float: no amount
      }
      doc.SetDouble(d);
    }
  } else if (o == Py_None || PyBool_Check(o) || PyFloat_Check(o) || PyUnicode_Check(o)) {
    doc = doc_from_python(v, "v");
  } else {
    return py::none();  // neither a number nor a text
  }
  const pg::Mio m = pg::_mio(doc);
  switch (m.kind) {
    case pg::Mio::Kind::Null: return py::none();
    case pg::Mio::Kind::Integer: return py::reinterpret_steal<py::object>(PyLong_FromDouble(m.value));
    case pg::Mio::Kind::Real: return py::float_(m.value);
  }
  return py::none();
}

py::object row_to_array(py::object row, py::object donemler, py::object risk_donemler, py::object bolge_map,
                        py::object sube_map) {
  if (!PyDict_Check(row.ptr())) type_error("row", "dict", row);
  const JsonDoc r = doc_from_python(row, "row");
  const JsonDoc d = list_arg(donemler, "donemler");
  const JsonDoc rd = list_arg(risk_donemler, "risk_donemler");
  const pg::CodeMap bm = code_map_arg(bolge_map, "BOLGE_MAP");
  const pg::CodeMap sm = code_map_arg(sube_map, "SUBE_MAP");
  return to_python(value_errors_as_type_errors([&] { return pg::_row_to_array(r, d, rd, bm, sm); }));
}

py::tuple build_maps(py::object all_rows, py::object ref_csv_path) {
  if (!PyList_Check(all_rows.ptr()) && !PyTuple_Check(all_rows.ptr())) type_error("all_rows", "list", all_rows);
  JsonDoc rows;
  rows.SetArray();
  std::size_t i = 0;
  for (py::handle row : all_rows) {
    if (!PyDict_Check(row.ptr())) type_error("all_rows[" + std::to_string(i) + "]", "dict", row);
    rows.PushBack(from_python(row, rows.GetAllocator(), "all_rows"), rows.GetAllocator());
    ++i;
  }
  const std::optional<std::string> ref = optional_path_arg(ref_csv_path, "ref_csv_path");
  pg::BolgeSubeMaps maps;
  try {
    maps = without_gil([&] { return pg::_build_bolge_sube_maps(rows, ref); });
  } catch (const std::runtime_error& e) {
    // The reference file's errors name it first; the others are about a code.
    const std::string what = e.what();
    if (!ref || what.rfind(*ref + ":", 0) != 0) throw py::type_error(what);
    if (what.find("UTF-8") != std::string::npos || what.find("CSV") != std::string::npos) throw py::value_error(what);
    PyErr_SetString(PyExc_OSError, what.c_str());
    throw py::error_already_set();
  }
  return py::make_tuple(to_python(maps.BOLGE_LIST), code_map_of(maps.BOLGE_LIST), to_python(maps.SUBE_LIST),
                        code_map_of(maps.SUBE_LIST));
}

py::str trending_html(py::object trending) {
  const JsonDoc t = dict_arg(trending, "trending");
  return py::str(value_errors_as_type_errors([&] { return pg::_build_trending_html(t); }));
}

/// Turns rows into dicts for a row filter, making each member name's str
/// once per render: the rows of a scoreboard share their names.
class RowKeys {
 public:
  py::dict row(const Json& row) {
    py::dict out;
    for (const auto& m : row.GetObject()) {
      std::string_view name(m.name.GetString(), m.name.GetStringLength());
      auto it = names_.find(name);
      if (it == names_.end()) {
        py::object key = to_python(m.name);
        it = names_.emplace(std::string(name), key).first;
      }
      if (PyDict_SetItem(out.ptr(), it->second.ptr(), to_python(m.value).ptr()) != 0) throw py::error_already_set();
    }
    return out;
  }

 private:
  struct Hash : std::hash<std::string_view> {
    using is_transparent = void;
  };
  std::unordered_map<std::string, py::object, Hash, std::equal_to<>> names_;
};

py::dict render(py::object json_path, py::object output_html, py::object ref_csv_path, py::object trending_path,
                py::object chunk_size, py::object top_n, py::object external_link, py::object row_filter,
                py::object max_size_mb, py::object threads) {
  // Every argument is checked before anything is read, written or printed.
  const std::string json = path_arg(json_path, "json_path");
  pg::RenderOptions options;
  options.output_html = optional_path_arg(output_html, "output_html");
  options.ref_csv_path = optional_path_arg(ref_csv_path, "ref_csv_path");
  options.trending_path = optional_path_arg(trending_path, "trending_path");
  options.chunk_size = int_arg(chunk_size, "chunk_size");
  options.top_n = int_arg(top_n, "top_n");
  options.external_link = text_arg(external_link, "external_link");
  options.max_size_mb = real_arg(max_size_mb, "max_size_mb");
  const long long n = int_arg(threads, "threads");
  if (n < 0 || n > 256) throw py::value_error("threads must be from 0 to 256, not " + std::to_string(n));
  options.threads = static_cast<unsigned>(n);
  // Lives for the call (and is dropped under the GIL, after the render).
  std::shared_ptr<RowKeys> keys = std::make_shared<RowKeys>();
  if (!row_filter.is_none()) {
    // Borrowed: the caller's argument keeps the callable alive for the call,
    // and no reference count is touched without the GIL.
    PyObject* filter = callable_arg(row_filter, "row_filter").ptr();
    options.row_filter = [filter, keys](const Json& row) {
      py::gil_scoped_acquire gil;
      py::object keep = py::reinterpret_borrow<py::object>(filter)(keys->row(row));
      const int truth = PyObject_IsTrue(keep.ptr());
      if (truth < 0) throw py::error_already_set();
      return truth == 1;
    };
  }
  options.console = python_stdout_sink();

  const pg::RenderResult r = without_gil([&] { return pg::render_html(json, options); });
  py::dict out;
  out["html_path"] = py::str(r.html_path);
  out["rows"] = py::int_(r.rows);
  out["chunks"] = py::int_(r.chunks);
  // Nothing rendered (no periods): the size is the integer zero.
  if (r.chunks == 0) out["size_kb"] = py::int_(0);
  else out["size_kb"] = py::float_(r.size_kb);
  return out;
}

}  // namespace

PYBIND11_MODULE(_panogen, m) {
  register_translators();
  m.doc() = "The dashboard renderer: scoreboard JSON -> standalone HTML dashboard.";

  template_error = PyErr_NewExceptionWithDoc(
      "kemora.pipeline.panogen.TemplateError",
      "The dashboard template failed: missing, unreadable, a syntax error, an unsupported construct or an "
      "error while rendering. The message names the template and the line.",
      PyExc_Exception, nullptr);
  if (template_error == nullptr) throw py::error_already_set();
  py::object bases = py::make_tuple(py::handle(template_error), py::handle(PyExc_FileNotFoundError));
  template_not_found = PyErr_NewExceptionWithDoc(
      "kemora.pipeline.panogen.TemplateNotFound",
      "The dashboard template file does not exist (a TemplateError and a FileNotFoundError).", bases.ptr(),
      nullptr);
  if (template_not_found == nullptr) throw py::error_already_set();
  m.attr("TemplateError") = py::handle(template_error);
  m.attr("TemplateNotFound") = py::handle(template_not_found);
  py::register_exception_translator(&translate);

  py::list segments;
  py::dict seg_map;
  for (std::size_t i = 0; i < pg::SEGMENTS_LIST.size(); ++i) {
    py::str s(std::string(pg::SEGMENTS_LIST[i]));
    segments.append(s);
    seg_map[s] = py::int_(pg::seg_index(pg::SEGMENTS_LIST[i]));
  }
  m.attr("SEGMENTS_LIST") = segments;
  m.attr("SEG_MAP") = seg_map;
  m.attr("DEFAULT_CHUNK_SIZE") = py::int_(pg::DEFAULT_CHUNK_SIZE);
  m.attr("DEFAULT_TOP_N") = py::int_(pg::DEFAULT_TOP_N);

  m.def("render_html", &render, py::arg("json_path"), py::arg("output_html") = py::none(),
        py::arg("ref_csv_path") = py::none(), py::arg("trending_path") = py::none(),
        py::arg("chunk_size") = py::int_(pg::DEFAULT_CHUNK_SIZE), py::arg("top_n") = py::int_(pg::DEFAULT_TOP_N),
        py::arg("external_link") = py::str(""), py::arg("row_filter") = py::none(),
        py::arg("max_size_mb") = py::float_(0.0), py::kw_only(), py::arg("threads") = py::int_(0),
        "Renders the scoreboard JSON at json_path into one standalone HTML dashboard and returns "
        "{'html_path', 'rows', 'chunks', 'size_kb'}. Without output_html the page goes to "
        "<parent of the JSON's folder>/html/kmr_dashboard.html. row_filter, a callable, receives each row as a "
        "dict and keeps the rows for which it returns a true value; what it raises reaches the caller and "
        "nothing is written. threads: encoding threads, 0 for as many as the file is worth.");
  m.def("_build_trending_html", &trending_html, py::arg("trending"),
        "The HTML section of the four trending lists of `trending` (a dict), or '' when all are empty.");
  m.def("_row_to_array", &row_to_array, py::arg("row"), py::arg("donemler"), py::arg("risk_donemler"),
        py::arg("BOLGE_MAP"), py::arg("SUBE_MAP"), "The compact row array (a list) of one scoreboard row (a dict).");
  m.def("_build_bolge_sube_maps", &build_maps, py::arg("all_rows"), py::arg("ref_csv_path") = py::none(),
        "(BOLGE_LIST, BOLGE_MAP, SUBE_LIST, SUBE_MAP) of the rows, in the order of first appearance, with names "
        "from the reference CSV when it exists.");
  m.def("_mio", &mio, py::arg("v"),
        "An amount in TL in millions: None, a whole number (int) from one million up, else a float with one "
        "decimal.");
  m.def(
      "_code_key", [](py::object code) -> py::object {
        auto key = code_key_of(code);
        return key ? py::object(py::str(*key)) : py::object(py::none());
      },
      py::arg("code"), "The key under which a region or branch code is compared (type and text), or None.");
}
