#include "convert.hpp"

#include <pybind11/stl.h>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <limits>

#include "kemora/errors.hpp"
#include "kemora/interrupted.hpp"

namespace kemora::python {
namespace {

constexpr int kMaxDepth = 512;

Json value_of(py::handle v, JsonAlloc& alloc, std::string_view what, int depth) {
  if (depth > kMaxDepth) throw py::value_error(std::string(what) + " is nested too deeply");
  PyObject* o = v.ptr();
  if (o == Py_None) return Json();
  if (PyBool_Check(o)) return Json(o == Py_True);
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
      return Json(static_cast<std::int64_t>(i));
    }
    if (overflow > 0) {
      const unsigned long long u = PyLong_AsUnsignedLongLong(o);
      if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
        return Json(static_cast<std::uint64_t>(u));
      PyErr_Clear();
    }
    throw py::value_error(std::string(what) + ": the integer " + py::str(v).cast<std::string>() +
                          " does not fit in 64 bits");
  }
  if (PyFloat_Check(o)) return Json(PyFloat_AS_DOUBLE(o));
  if (PyUnicode_Check(o)) {
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &size);
    if (s == nullptr) throw py::error_already_set();  // lone surrogates
    return Json(s, static_cast<rapidjson::SizeType>(size), alloc);
  }
  if (PyList_Check(o)) {
    Json list(rapidjson::kArrayType);
    const Py_ssize_t n = PyList_GET_SIZE(o);
    list.Reserve(static_cast<rapidjson::SizeType>(n), alloc);
    for (Py_ssize_t i = 0; i < n; ++i) list.PushBack(value_of(PyList_GET_ITEM(o, i), alloc, what, depth + 1), alloc);
    return list;
  }
  if (PyDict_Check(o)) {
    Json map(rapidjson::kObjectType);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(o, &pos, &key, &value)) {
      if (!PyUnicode_Check(key))
        throw py::type_error(std::string(what) + ": a map key must be str, not " + type_name(key));
      Json name = value_of(key, alloc, what, depth + 1);
      map.AddMember(name, value_of(value, alloc, what, depth + 1), alloc);
    }
    return map;
  }
  throw py::type_error(std::string(what) +
                       " must hold JSON values (None, bool, int, float, str, list, dict), not " + type_name(v));
}

py::object object_of(const Json& v, int depth) {
  switch (v.GetType()) {
    case rapidjson::kNullType: return py::none();
    case rapidjson::kFalseType: return py::bool_(false);
    case rapidjson::kTrueType: return py::bool_(true);
    case rapidjson::kStringType: {
      PyObject* s = PyUnicode_DecodeUTF8(v.GetString(), static_cast<Py_ssize_t>(v.GetStringLength()), "surrogatepass");
      if (s == nullptr) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(s);
    }
    case rapidjson::kNumberType:
      if (v.IsInt64()) return py::int_(v.GetInt64());
      if (v.IsUint64()) return py::int_(v.GetUint64());
      return py::float_(v.GetDouble());
    case rapidjson::kArrayType: {
      py::list list(v.Size());
      rapidjson::SizeType i = 0;
      for (const auto& e : v.GetArray()) list[i++] = object_of(e, depth + 1);
      return list;
    }
    case rapidjson::kObjectType: {
      py::dict map;
      for (const auto& m : v.GetObject()) map[object_of(m.name, depth + 1)] = object_of(m.value, depth + 1);
      return map;
    }
  }
  return py::none();
}

bool is_instance(py::handle v, const char* module, const char* name) {
  return py::isinstance(v, py::module_::import(module).attr(name));
}

}  // namespace

py::object to_python(const Json& v) { return object_of(v, 0); }

Json from_python(py::handle v, JsonAlloc& alloc, std::string_view what) { return value_of(v, alloc, what, 0); }

JsonDoc doc_from_python(py::handle v, std::string_view what) {
  JsonDoc doc;
  Json value = value_of(v, doc.GetAllocator(), what, 0);
  static_cast<Json&>(doc) = value;  // moves the value's contents into the document
  return doc;
}

py::object to_path(const std::filesystem::path& p) {
  return py::module_::import("pathlib").attr("Path")(p.string());
}

std::string type_name(py::handle v) { return py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>(); }

void type_error(std::string_view what, std::string_view expected, py::handle v) {
  throw py::type_error(std::string(what) + " must be " + std::string(expected) + ", not " + type_name(v));
}

std::string text_arg(py::handle v, std::string_view what) {
  if (!PyUnicode_Check(v.ptr())) type_error(what, "str", v);
  return v.cast<std::string>();
}

std::string path_arg(py::handle v, std::string_view what) {
  if (PyUnicode_Check(v.ptr())) return v.cast<std::string>();
  if (is_instance(v, "os", "PathLike")) {
    py::object fs = py::module_::import("os").attr("fspath")(v);
    if (PyUnicode_Check(fs.ptr())) return fs.cast<std::string>();
  }
  type_error(what, "str or os.PathLike", v);
}

std::optional<std::string> optional_text_arg(py::handle v, std::string_view what) {
  if (v.is_none()) return std::nullopt;
  if (!PyUnicode_Check(v.ptr())) type_error(what, "str or None", v);
  return v.cast<std::string>();
}

std::optional<std::string> optional_path_arg(py::handle v, std::string_view what) {
  if (v.is_none()) return std::nullopt;
  if (!PyUnicode_Check(v.ptr()) && !is_instance(v, "os", "PathLike")) type_error(what, "str, os.PathLike or None", v);
  return path_arg(v, what);
}

bool bool_arg(py::handle v, std::string_view what) {
  if (!PyBool_Check(v.ptr())) type_error(what, "bool", v);
  return v.ptr() == Py_True;
}

long long int_arg(py::handle v, std::string_view what) {
  if (!PyLong_Check(v.ptr())) type_error(what, "int", v);
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (overflow != 0) throw py::value_error(std::string(what) + " is out of range: " + py::str(v).cast<std::string>());
  if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
  return i;
}

double real_arg(py::handle v, std::string_view what) {
  if (!PyLong_Check(v.ptr()) && !PyFloat_Check(v.ptr())) type_error(what, "int or float", v);
  const double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

std::vector<std::string> text_list_arg(py::handle v, std::string_view what) {
  if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) type_error(what, "a list of str", v);
  std::vector<std::string> out;
  for (py::handle e : v) {
    if (!PyUnicode_Check(e.ptr()))
      throw py::type_error(std::string(what) + " must be a list of str, not a list holding " + type_name(e));
    out.push_back(e.cast<std::string>());
  }
  return out;
}

py::object callable_arg(py::handle v, std::string_view what) {
  if (!PyCallable_Check(v.ptr())) type_error(what, "callable", v);
  return py::reinterpret_borrow<py::object>(v);
}

ConsoleSink python_stdout_sink() {
  return [](std::string_view line) {
    py::gil_scoped_acquire gil;
    py::object out = py::module_::import("sys").attr("stdout");
    if (out.is_none()) return;  // no console (pythonw, a closed stdout)
    PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
    if (text == nullptr) throw py::error_already_set();
    out.attr("write")(py::reinterpret_steal<py::object>(text));
    out.attr("flush")();
  };
}

void register_translators() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const kemora::ProcessInterrupted& e) {
      // The child was stopped and reaped already; the caller sees what an
      // interrupt of its own code would have raised.
      if (e.signal == SIGPIPE) PyErr_SetString(PyExc_BrokenPipeError, e.what());
      else PyErr_SetString(PyExc_KeyboardInterrupt, "");
    } catch (const kemora::FileNotFound& e) {
      py::object err = py::module_::import("builtins").attr("FileNotFoundError")(ENOENT, e.what());
      PyErr_SetObject(PyExc_FileNotFoundError, err.ptr());
    } catch (const kemora::InvalidJson& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::filesystem::filesystem_error& e) {
      PyErr_SetString(e.code() == std::errc::no_such_file_or_directory ? PyExc_FileNotFoundError : PyExc_OSError,
                      e.what());
    }
  });
}

}  // namespace kemora::python
