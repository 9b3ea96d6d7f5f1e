#pragma once
#include <pybind11/pybind11.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kemora/console_sink.hpp"
#include "kemora/json.hpp"

/// What the native modules of the Python package share: Python values to and
/// from the API's values, the type checks made on entry, the console through
/// sys.stdout, and the translation of the libraries' errors into the
/// exceptions a Python caller expects.
namespace kemora::python {

namespace py = pybind11;

// ---- Values -----------------------------------------------------------------

/// The Python value of a JSON value: dict (members in order), list, int,
/// float, str, bool or None.
py::object to_python(const Json& v);

/// The JSON value of a Python value, allocated in `alloc`: None, bool, int
/// (within the 64-bit range), float, str, list and dict with str keys, nested.
/// Raises TypeError naming `what` for any other type (bytes, tuple, set, an
/// object), and ValueError for an int beyond the 64-bit range.
Json from_python(py::handle v, JsonAlloc& alloc, std::string_view what);
/// The same, as a document of its own.
JsonDoc doc_from_python(py::handle v, std::string_view what);

/// A pathlib.Path of `p`.
py::object to_path(const std::filesystem::path& p);

// ---- Type checks on entry (each raises TypeError naming the argument) --------

/// The Python type name of `v`, as error messages give it ("int", "bytes").
std::string type_name(py::handle v);

/// Raises TypeError: "<what> must be <expected>, not <type of v>".
[[noreturn]] void type_error(std::string_view what, std::string_view expected, py::handle v);

/// A str argument (bytes are not text).
std::string text_arg(py::handle v, std::string_view what);
/// A str or os.PathLike argument that gives a str path.
std::string path_arg(py::handle v, std::string_view what);
/// None, or as text_arg / path_arg.
std::optional<std::string> optional_text_arg(py::handle v, std::string_view what);
std::optional<std::string> optional_path_arg(py::handle v, std::string_view what);
/// A bool argument (an int is not a bool).
bool bool_arg(py::handle v, std::string_view what);
/// An int argument (a bool counts, as in Python); OverflowError beyond 64 bits.
long long int_arg(py::handle v, std::string_view what);
/// An int or float argument (a bool counts).
double real_arg(py::handle v, std::string_view what);
/// A list (or tuple) whose every element is a str.
std::vector<std::string> text_list_arg(py::handle v, std::string_view what);
/// A callable argument.
py::object callable_arg(py::handle v, std::string_view what);

// ---- Console and errors ---------------------------------------------------

/// A console sink that writes each piece to sys.stdout and flushes it, under
/// the GIL (taken when the calling thread does not hold it). A write that
/// raises leaves the library as py::error_already_set.
ConsoleSink python_stdout_sink();

/// Registers the translations of the libraries' exceptions for every module:
/// kemora::ProcessInterrupted -> KeyboardInterrupt; std::filesystem errors
/// of a missing file -> FileNotFoundError, others -> OSError;
/// std::invalid_argument -> ValueError; std::runtime_error -> RuntimeError,
/// or ValueError for a JSON text error (see json_error_kind below).
void register_translators();

/// Runs `f` with the GIL released; Python code called from inside (sinks,
/// callbacks) takes it back with py::gil_scoped_acquire.
template <typename F>
decltype(auto) without_gil(F&& f) {
  py::gil_scoped_release release;
  return f();
}

}  // namespace kemora::python
