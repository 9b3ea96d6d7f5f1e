// kemora._motor: the pipeline engine (kemora::motor) for Python callers.
//
// Arguments are checked as Python's isinstance would check the documented
// types, all of them before the engine is called, so a wrong type raises
// TypeError before anything is printed, read or written. The engine runs with
// the GIL released; it takes the GIL back only for the console (sys.stdout),
// the data-source question (sys.stdin) and kontrol_fn.
#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

#include "convert.hpp"
#include "kemora/motor/data_paths.hpp"
#include "kemora/motor/motor.hpp"

namespace py = pybind11;
namespace fs = std::filesystem;
namespace km = kemora::motor;
using namespace kemora::python;

namespace {

// ---- Python exceptions raised inside the engine -------------------------------

/// An Exception raised by Python code that the engine called (kontrol_fn,
/// sys.stdout, sys.stdin). It is a std::runtime_error whose text is
/// str(exception), so the engine handles it as any other error at that point
/// (inside a step's run: HATA with that text); when it leaves the engine, the
/// caller gets the original exception back.
class CallbackError : public std::runtime_error {
 public:
  CallbackError(const std::string& text, py::error_already_set error)
      : std::runtime_error(text), error(std::move(error)) {}
  py::error_already_set error;
};

/// A BaseException that is no Exception (KeyboardInterrupt, SystemExit)
/// raised by Python code that the engine called. Deliberately no
/// std::exception, like kemora::ProcessInterrupted: it passes every handler of
/// the engine, so an interrupt is never recorded as a failed step.
struct CallbackInterrupt {
  py::error_already_set error;
};

/// str(e) of the exception being handled, the GIL held.
std::string exception_text(const py::error_already_set& e) {
  try {
    return py::str(e.value()).cast<std::string>();
  } catch (const py::error_already_set&) {  // a __str__ that raises, lone surrogates
    return py::str(e.type().attr("__name__")).cast<std::string>();
  }
}

/// Rethrows the Python error `e` (the GIL held) as one of the two above.
[[noreturn]] void throw_callback_failure(py::error_already_set&& e) {
  if (!e.matches(PyExc_Exception)) throw CallbackInterrupt{std::move(e)};
  std::string text = exception_text(e);
  throw CallbackError(text, std::move(e));
}

/// Runs `f` (Python code) under the GIL from inside the engine.
template <typename F>
decltype(auto) call_python(F&& f) {
  py::gil_scoped_acquire gil;
  try {
    return f();
  } catch (py::error_already_set& e) {
    throw_callback_failure(std::move(e));
  }
}

/// Runs the Python handlers of signals that arrived while the engine ran
/// without the GIL (a Ctrl-C between two notebook runs): KeyboardInterrupt
/// ends the call. The GIL held.
void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

/// The engine's console: sys.stdout, and a look at pending signals after
/// every line.
kemora::ConsoleSink python_console() {
  return [write = python_stdout_sink()](std::string_view line) {
    try {
      write(line);
    } catch (py::error_already_set& e) {
      py::gil_scoped_acquire gil;
      throw_callback_failure(std::move(e));
    }
    call_python(check_signals);
  };
}

/// The data-source question's input: sys.stdin (isatty() and readline()).
/// No sys.stdin (None) counts as no terminal.
km::AnswerSource python_stdin() {
  return {
      .is_terminal =
          [] {
            return call_python([] {
              py::object in = py::module_::import("sys").attr("stdin");
              return !in.is_none() && py::bool_(in.attr("isatty")()).cast<bool>();
            });
          },
      .read_line =
          [] {
            return call_python([]() -> std::optional<std::string> {
              py::object in = py::module_::import("sys").attr("stdin");
              if (in.is_none()) return std::nullopt;
              py::object line = in.attr("readline")();
              if (PyBytes_Check(line.ptr())) line = line.attr("decode")("utf-8", "replace");
              std::string s = py::str(line).cast<std::string>();
              if (s.empty()) return std::nullopt;  // end of input
              if (s.back() == '\n') s.pop_back();
              if (!s.empty() && s.back() == '\r') s.pop_back();
              return s;
            });
          },
  };
}

// ---- The engine object ----------------------------------------------------------

/// The Python object of a Motor. The engine runs without the GIL, so another
/// Python thread could reach the same engine meanwhile; it is refused
/// (RuntimeError) instead of reading state that is being changed. Python code
/// that the running engine calls (kontrol_fn) is on the running thread and
/// may read the engine.
struct Engine {
  std::unique_ptr<km::Motor> motor;
  std::atomic<std::thread::id> runner{};
};

km::Motor& idle(Engine& e) {
  const auto r = e.runner.load();
  if (r != std::thread::id() && r != std::this_thread::get_id())
    throw std::runtime_error("this Motor is running in another thread; one engine serves one thread at a time");
  return *e.motor;
}

/// Runs `f` (an engine call) with the GIL released and hands a Python
/// exception raised by a callback inside it back to the caller unchanged.
template <typename F>
decltype(auto) engine_call(F&& f) {
  try {
    py::gil_scoped_release release;
    return f();
  } catch (CallbackInterrupt& e) {
    throw std::move(e.error);
  } catch (CallbackError& e) {
    throw std::move(e.error);
  }
}

/// engine_call on `e`, marked as running on this thread meanwhile.
template <typename F>
decltype(auto) engine_call(Engine& e, F&& f) {
  km::Motor& m = idle(e);
  struct Mark {
    Engine& e;
    std::thread::id before;
    ~Mark() { e.runner.store(before); }
  } mark{e, e.runner.exchange(std::this_thread::get_id())};
  return engine_call([&] { return f(m); });
}

// ---- Arguments --------------------------------------------------------------------

/// A list, tuple, set or frozenset of str (step codes).
std::vector<std::string> code_set_arg(py::handle v, std::string_view what) {
  if (!PySet_Check(v.ptr()) && !PyFrozenSet_Check(v.ptr())) return text_list_arg(v, what);
  std::vector<std::string> out;
  for (py::handle e : v) {
    if (!PyUnicode_Check(e.ptr()))
      throw py::type_error(std::string(what) + " must hold str, not " + type_name(e));
    out.push_back(e.cast<std::string>());
  }
  return out;
}

/// A list or tuple of str or os.PathLike (folders).
std::vector<std::string> path_list_arg(py::handle v, std::string_view what) {
  if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) type_error(what, "a list of str", v);
  std::vector<std::string> out;
  for (py::handle e : v) out.push_back(path_arg(e, std::string(what) + " element"));
  return out;
}

/// A dict with str keys, checked as a whole before `each` sees a member.
void check_dict(py::handle v, std::string_view what) {
  if (!PyDict_Check(v.ptr())) type_error(what, "dict or None", v);
  for (auto item : py::reinterpret_borrow<py::dict>(v))
    if (!PyUnicode_Check(item.first.ptr()))
      throw py::type_error(std::string(what) + ": a key must be str, not " + type_name(item.first));
}

/// data_paths: key -> folder (str or os.PathLike), in the dict's order.
km::DataPaths data_paths_arg(py::handle v) {
  check_dict(v, "data_paths");
  km::DataPaths out;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(v)) {
    const std::string k = key.cast<std::string>();
    out.emplace_back(k, path_arg(value, "data_paths['" + k + "']"));
  }
  return out;
}

/// One notebook parameter: None, bool, int, float and str as themselves,
/// a list or dict (of JSON values) as a JSON value. Anything else is a
/// TypeError naming the parameter.
km::ParamValue param_value(py::handle v, const std::string& key) {
  const std::string what = "ek_params['" + key + "']";
  PyObject* o = v.ptr();
  if (o == Py_None) return nullptr;
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (i == -1 && PyErr_Occurred()) throw py::error_already_set();
      return i;
    }
  } else if (PyFloat_Check(o)) {
    return PyFloat_AS_DOUBLE(o);
  } else if (PyUnicode_Check(o)) {
    return text_arg(v, what);
  } else if (!PyList_Check(o) && !PyDict_Check(o)) {
    throw py::type_error(what + " must be a JSON value (None, bool, int, float, str, list or dict), not " +
                         type_name(v));
  }
  // Lists, maps and integers beyond the signed 64-bit range.
  return km::JsonParam(doc_from_python(v, what));
}

km::Params params_arg(py::handle v) {
  check_dict(v, "ek_params");
  km::Params out;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(v)) {
    std::string k = key.cast<std::string>();
    km::ParamValue p = param_value(value, k);
    out.emplace_back(std::move(k), std::move(p));
  }
  return out;
}

/// source_hashes of meta_yaz: path text -> fingerprint, both str.
km::SourceHashes source_hashes_arg(py::handle v) {
  check_dict(v, "source_hashes");
  km::SourceHashes out;
  for (auto [key, value] : py::reinterpret_borrow<py::dict>(v)) {
    const std::string k = key.cast<std::string>();
    out.emplace_back(k, text_arg(value, "source_hashes['" + k + "']"));
  }
  return out;
}

/// Reference dates: str, or datetime.date / datetime.datetime written by str().
std::vector<std::string> dates_arg(py::handle v) {
  if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()))
    type_error("referans_tarih_list", "a list of str or None", v);
  py::object date = py::module_::import("datetime").attr("date");
  std::vector<std::string> out;
  for (py::handle e : v) {
    if (PyUnicode_Check(e.ptr())) out.push_back(e.cast<std::string>());
    else if (py::isinstance(e, date)) out.push_back(py::str(e).cast<std::string>());
    else throw py::type_error("referans_tarih_list must hold str or datetime.date, not " + type_name(e));
  }
  return out;
}

// ---- Results ----------------------------------------------------------------------

py::set to_set(const std::set<std::string>& codes) {
  py::set out;
  for (const auto& c : codes) out.add(py::str(c));
  return out;
}

py::object optional_path(const std::optional<fs::path>& p) { return p ? to_path(*p) : py::none(); }

py::dict manifest_entry(const km::ManifestEntry& entry) {
  py::dict out;
  for (const auto& [k, v] : entry) out[py::str(k)] = py::str(v);
  return out;
}

// ---- Module tables -----------------------------------------------------------------

py::dict registry_table() {
  py::dict out;
  for (const auto& r : km::ADIM_REGISTRY) {
    py::dict rec;
    rec["nb"] = py::str(std::string(r.nb));
    rec["aciklama"] = py::str(std::string(r.aciklama));
    out[py::str(std::string(r.kod))] = rec;
  }
  return out;
}

py::dict dependency_table() {
  py::dict out;
  for (const auto& b : km::BAGIMLILIK) {
    py::list pre;
    for (auto p : b.onkosullar) pre.append(py::str(std::string(p)));
    out[py::str(std::string(b.kod))] = pre;
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_motor, m) {
  register_translators();
  m.doc() = "The pipeline engine: one Motor serves one pipeline run.";

  // sys.exit(message) as the data-source question's refusal raises it: the
  // interpreter prints the message to standard error and exits with status 1.
  // Never destroyed: a static Python object must not be released after the
  // interpreter has shut down.
  static auto& stopped = *new py::exception<km::PipelineStopped>(m, "PipelineStopped", PyExc_SystemExit);
  stopped.attr("__module__") = "kemora.motor";
  stopped.attr("__doc__") =
      "The user declined to go on without a data-source configuration file (a SystemExit whose code is the "
      "message).";
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const km::PipelineStopped& e) {
      PyErr_SetString(stopped.ptr(), e.what());
    }
  });

  m.attr("ADIM_REGISTRY") = registry_table();
  m.attr("BAGIMLILIK") = dependency_table();
  py::list ingest;
  for (auto k : km::ALL_INGEST_STEPS) ingest.append(py::str(std::string(k)));
  m.attr("ALL_INGEST_STEPS") = ingest;

  m.def(
      "_file_hash",
      [](py::object path) {
        const std::string p = text_arg(path, "path");
        return engine_call([&] { return km::_file_hash(p); });
      },
      py::arg("path"),
      "First 16 hex digits of the SHA-256 of the file's bytes. `path` must be a str. FileNotFoundError when the "
      "file is missing.");
  m.def(
      "_git_hash",
      [](py::object repo_dir, py::object file_path) -> py::object {
        const std::string r = text_arg(repo_dir, "repo_dir");
        const std::string f = text_arg(file_path, "file_path");
        auto h = engine_call([&] { return km::_git_hash(r, f); });
        return h ? py::object(py::str(*h)) : py::none();
      },
      py::arg("repo_dir"), py::arg("file_path"),
      "First 16 characters of `git hash-object file_path` run in `repo_dir` (both str); None when git fails.");
  m.def(
      "_git_info",
      [](py::object repo_dir) {
        const std::string r = text_arg(repo_dir, "repo_dir");
        kemora::JsonDoc info = engine_call([&] { return km::_git_info(r); });
        return to_python(info);
      },
      py::arg("repo_dir"),
      "Repository information of the working copy around `repo_dir` (a str): git_available, git_commit, "
      "git_commit_short, git_branch, git_error as far as known.");

  py::class_<Engine> motor(m, "Motor", "The pipeline engine: one Motor serves one pipeline run.");
  motor.attr("__module__") = "kemora.motor";
  motor.def(
      py::init([](py::object work_dir, py::object mode, py::object force_all, py::object force_adimlar,
                  py::object from_step, py::object muta_filter_path, py::object file_suffix, py::object data_paths,
                  py::object fingerprint_cache, py::object create_folders, py::object ask) {
        km::MotorOptions o;
        o.work_dir = path_arg(work_dir, "work_dir");
        o.mode = text_arg(mode, "mode");
        o.force_all = bool_arg(force_all, "force_all");
        if (!force_adimlar.is_none()) o.force_adimlar = code_set_arg(force_adimlar, "force_adimlar");
        o.from_step = optional_text_arg(from_step, "from_step");
        o.muta_filter_path = optional_path_arg(muta_filter_path, "muta_filter_path");
        o.file_suffix = text_arg(file_suffix, "file_suffix");
        if (!data_paths.is_none()) o.data_paths = data_paths_arg(data_paths);
        o.fingerprint_cache = bool_arg(fingerprint_cache, "fingerprint_cache");
        o.create_folders = bool_arg(create_folders, "create_folders");
        o.console = python_console();
        if (bool_arg(ask, "ask")) o.answers = python_stdin();
        else o.answers = km::AnswerSource{.is_terminal = [] { return false; },
                                          .read_line = [] { return std::optional<std::string>(); }};
        auto e = std::make_unique<Engine>();
        e->motor = engine_call([&] { return std::make_unique<km::Motor>(std::move(o)); });
        return e;
      }),
      py::arg("work_dir") = ".", py::arg("mode") = "prod", py::arg("force_all") = false,
      py::arg("force_adimlar") = py::none(), py::arg("from_step") = py::none(),
      py::arg("muta_filter_path") = py::none(), py::arg("file_suffix") = "", py::arg("data_paths") = py::none(),
      py::arg("fingerprint_cache") = true, py::arg("create_folders") = true, py::arg("ask") = true,
      "Fixes the run's state and creates the season folder. Without a non-empty `data_paths` the data-source "
      "configuration is read from `work_dir`; without one, the question on sys.stdin may raise PipelineStopped. "
      "With `fingerprint_cache` (a bool) False, every file is hashed and work_dir/.kemora is neither read nor "
      "created. With `create_folders` False the season folder is made only when a run, a step or accept() "
      "starts (plan() makes none); with `ask` False the question is never asked and a missing configuration "
      "means external_data/.");

  // Engine attributes.
  auto attr = [&](const char* name, auto get) {
    motor.def_property_readonly(name, [get](Engine& e) { return get(idle(e)); });
  };
  attr("work_dir", [](const km::Motor& x) { return to_path(x.work_dir()); });
  attr("mode", [](const km::Motor& x) { return x.mode(); });
  attr("force_all", [](const km::Motor& x) { return x.force_all(); });
  attr("force_adimlar", [](const km::Motor& x) { return to_set(x.force_adimlar()); });
  attr("from_step", [](const km::Motor& x) -> py::object {
    return x.from_step() ? py::object(py::str(*x.from_step())) : py::none();
  });
  attr("muta_filter_path", [](const km::Motor& x) { return x.muta_filter_path(); });
  attr("file_suffix", [](const km::Motor& x) { return x.file_suffix(); });
  attr("data_paths", [](const km::Motor& x) {
    py::dict out;
    for (const auto& [k, v] : x.data_paths()) out[py::str(k)] = py::str(v);
    return out;
  });
  attr("db_path", [](const km::Motor& x) { return to_path(x.db_path()); });
  attr("output_dir", [](const km::Motor& x) { return to_path(x.output_dir()); });
  attr("ts", [](const km::Motor& x) { return x.ts(); });
  attr("season_adi", [](const km::Motor& x) { return x.season_adi(); });
  attr("season_dir", [](const km::Motor& x) { return to_path(x.season_dir()); });
  attr("meta_dir", [](const km::Motor& x) { return to_path(x.meta_dir()); });
  attr("log_dir", [](const km::Motor& x) { return to_path(x.log_dir()); });
  attr("pipeline_baslangic", [](const km::Motor& x) { return x.pipeline_baslangic(); });
  attr("git_info", [](const km::Motor& x) { return to_python(x.git_info()); });
  attr("_skip_before", [](const km::Motor& x) { return to_set(x._skip_before()); });
  // The collections, as snapshots: changing them changes nothing in the engine.
  attr("calisan_adimlar", [](const km::Motor& x) { return to_set(x.calisan_adimlar()); });
  attr("ozet_satirlar", [](const km::Motor& x) {
    py::list rows;
    for (const auto& r : x.ozet_satirlar()) {
      py::dict row;
      row["adim"] = py::str(r.adim);
      row["nb"] = py::str(r.nb);
      row["sure"] = py::str(r.sure);
      row["durum"] = py::str(r.durum);
      row["sebep"] = py::str(r.sebep);
      rows.append(row);
    }
    return rows;
  });
  attr("manifest_adimlar", [](const km::Motor& x) {
    py::dict out;
    for (const auto& [kod, entry] : x.manifest_adimlar()) out[py::str(kod)] = manifest_entry(entry);
    return out;
  });

  motor.def(
      "run_all",
      [](Engine& e, py::object skip_ingest, py::object skip_backtest, py::object skip_ml,
         py::object referans_tarih_list, py::object test_muta_count) {
        km::RunAllOptions o;
        o.skip_ingest = bool_arg(skip_ingest, "skip_ingest");
        o.skip_backtest = bool_arg(skip_backtest, "skip_backtest");
        o.skip_ml = bool_arg(skip_ml, "skip_ml");
        if (!referans_tarih_list.is_none()) o.referans_tarih_list = dates_arg(referans_tarih_list);
        o.test_muta_count = int_arg(test_muta_count, "test_muta_count");
        return to_path(engine_call(e, [&](km::Motor& x) { return x.run_all(o); }));
      },
      py::arg("skip_ingest") = false, py::arg("skip_backtest") = false, py::arg("skip_ml") = false,
      py::arg("referans_tarih_list") = py::none(), py::arg("test_muta_count") = 0,
      "Runs the whole pipeline and returns the path of the run manifest. Failed steps do not raise; see "
      "any_failed() and ozet_satirlar.");

  motor.def(
      "plan",
      [](Engine& e, py::object skip_ingest, py::object skip_backtest, py::object skip_ml) {
        km::RunAllOptions o;
        o.skip_ingest = bool_arg(skip_ingest, "skip_ingest");
        o.skip_backtest = bool_arg(skip_backtest, "skip_backtest");
        o.skip_ml = bool_arg(skip_ml, "skip_ml");
        auto rows = engine_call(e, [&](km::Motor& x) { return x.plan(o); });
        auto texts = [](const std::vector<std::string>& items) {
          py::list out;
          for (const auto& s : items) out.append(py::str(s));
          return out;
        };
        py::list out;
        for (const auto& r : rows) {
          py::dict row;
          row["code"] = py::str(r.kod);
          row["notebook"] = r.notebook ? py::object(py::str(*r.notebook)) : py::none();
          row["decision"] = py::str(std::string(km::plan_karar_text(r.karar)));
          row["reason"] = py::str(r.sebep);
          row["changed_files"] = texts(r.degisen_kaynaklar);
          row["triggered_by"] = texts(r.tetikleyenler);
          out.append(row);
        }
        return out;
      },
      py::arg("skip_ingest") = false, py::arg("skip_backtest") = false, py::arg("skip_ml") = false,
      "What run_all() with the same options would do, per step in its order, without running, creating or "
      "writing anything: dicts with code, notebook (None when missing), decision ('run', 'skip', 'missing'), "
      "reason (the text a run prints), changed_files (every changed recorded source file) and triggered_by "
      "(the prerequisites whose planned run cascades the step).");
  motor.def(
      "accept",
      [](Engine& e, py::object kodlar) {
        std::vector<std::string> codes = text_list_arg(kodlar, "kodlar");
        return to_path(engine_call(e, [&](km::Motor& x) { return x.accept(codes); }));
      },
      py::arg("kodlar"),
      "Records the steps as if each had just run successfully, without running anything (meta records marked "
      "\"kabul\": true, manifest durum KABUL), and returns the manifest's path. Every code and notebook is "
      "checked first: ValueError names each unknown code and missing notebook, and nothing is written.");

  motor.def(
      "adim_isle",
      [](Engine& e, py::object kod, py::object ek_params, py::object kontrol_fn, py::object source_dirs) {
        const std::string k = text_arg(kod, "kod");
        km::AdimOptions o;
        if (!ek_params.is_none()) o.ek_params = params_arg(ek_params);
        py::object hook;  // kept alive here, for the whole call
        if (!kontrol_fn.is_none()) {
          hook = callable_arg(kontrol_fn, "kontrol_fn");
          o.kontrol_fn = [fn = py::handle(hook)](const fs::path& work_dir) {
            call_python([&] {
              fn(to_path(work_dir));
              check_signals();
            });
          };
        }
        if (!source_dirs.is_none()) o.source_dirs = path_list_arg(source_dirs, "source_dirs");
        return engine_call(e, [&](km::Motor& x) { return x.adim_isle(k, std::move(o)); });
      },
      py::arg("kod"), py::arg("ek_params") = py::none(), py::arg("kontrol_fn") = py::none(),
      py::arg("source_dirs") = py::none(),
      "Processes one step: decides, runs its notebook with the parameters (ek_params merged last; any JSON "
      "values) and records the outcome. kontrol_fn(work_dir) is called after the step; an Exception it raises "
      "after a run makes the step HATA. True when the step ran or was skipped.");

  motor.def(
      "meta_kontrol",
      [](Engine& e, py::object kod) {
        const std::string k = text_arg(kod, "kod");
        auto [run, reason] = engine_call(e, [&](km::Motor& x) { return x.meta_kontrol(k); });
        return py::make_tuple(run, reason);
      },
      py::arg("kod"), "The run decision of the step: (must run, reason).");
  motor.def(
      "meta_yaz",
      [](Engine& e, py::object kod, py::object nb_path, py::object sure, py::object source_hashes,
         py::object ekstra) {
        const std::string k = text_arg(kod, "kod");
        const std::string nb = path_arg(nb_path, "nb_path");
        const double s = real_arg(sure, "sure");
        std::optional<km::SourceHashes> hashes;
        if (!source_hashes.is_none()) hashes = source_hashes_arg(source_hashes);
        std::optional<kemora::JsonDoc> extra;
        if (!ekstra.is_none()) {
          check_dict(ekstra, "ekstra");
          extra = doc_from_python(ekstra, "ekstra");
        }
        kemora::JsonDoc rec = engine_call(e, [&](km::Motor& x) {
          return x.meta_yaz(k, nb, s, hashes, extra ? static_cast<const kemora::Json*>(&*extra) : nullptr);
        });
        return to_python(rec);
      },
      py::arg("kod"), py::arg("nb_path"), py::arg("sure"), py::arg("source_hashes") = py::none(),
      py::arg("ekstra") = py::none(), "Writes the step meta record of `kod` into this season and returns it.");
  motor.def(
      "_find_prev_meta",
      [](Engine& e, py::object kod) -> py::object {
        const std::string k = text_arg(kod, "kod");
        auto rec = engine_call(e, [&](km::Motor& x) { return x._find_prev_meta(k); });
        return rec ? to_python(*rec) : py::none();
      },
      py::arg("kod"), "The newest meta record of `kod` in an earlier season of the same kind, or None.");
  motor.def(
      "_nb_path",
      [](Engine& e, py::object kod) {
        const std::string k = text_arg(kod, "kod");
        return optional_path(engine_call(e, [&](km::Motor& x) { return x._nb_path(k); }));
      },
      py::arg("kod"), "The step's notebook (work_dir first, then the package's), or None.");
  motor.def(
      "_resolve",
      [](Engine& e, py::object subdir) {
        const std::string key = text_arg(subdir, "subdir");
        return idle(e)._resolve(key);
      },
      py::arg("subdir"), "The folder of a data-source key: its configured value, else work_dir/external_data/key.");
  motor.def(
      "_load_data_paths",
      [](Engine& e) {
        km::DataPaths paths = engine_call(e, [&](km::Motor& x) {
          return km::_load_data_paths(x.work_dir(), python_stdin(), python_console());
        });
        py::dict out;
        for (const auto& [k, v] : paths) out[py::str(k)] = py::str(v);
        return out;
      },
      "Reads the data-source configuration of work_dir as the constructor does (it may ask on sys.stdin).");
  motor.def(
      "ozet_yazdir", [](Engine& e) { engine_call(e, [](km::Motor& x) { x.ozet_yazdir(); }); },
      "Prints the summary table of the steps processed so far.");
  motor.def(
      "manifest_yaz", [](Engine& e) { return to_path(engine_call(e, [](km::Motor& x) { return x.manifest_yaz(); })); },
      "Writes the run manifest meta/manifest_<ts>.json and returns its path.");
  motor.def(
      "_temizle_error_reports", [](Engine& e) { engine_call(e, [](km::Motor& x) { x._temizle_error_reports(); }); },
      "Removes the error_report.txt files that earlier runs left.");
  motor.def("any_failed", [](Engine& e) { return idle(e).any_failed(); },
            "True when a step processed so far failed or found no notebook (HATA, NB YOK).");
  motor.def("__repr__", [](Engine& e) {
    const km::Motor& x = idle(e);
    return "<kemora.motor.Motor season_adi='" + x.season_adi() + "' work_dir='" + x.work_dir().string() + "'>";
  });
}
