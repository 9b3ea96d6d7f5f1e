#pragma once
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kemora/json.hpp"

/// The notebook executor: runs one notebook with named parameters and writes
/// the executed copy.
namespace kemora::motor {

/// A notebook that failed, or an executor that could not run it. what() is
/// one line: for a failed cell "ExceptionName: message".
class ExecutorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class NotebookExecutor {
 public:
  virtual ~NotebookExecutor() = default;
  /// Runs `input` in the working directory `cwd` with `parameters` (a JSON
  /// object, members in order, types kept) and writes the executed copy to
  /// `output`. Returns normally only when the notebook ran and the copy was
  /// written. Throws ExecutorError otherwise; lets kemora::ProcessInterrupted
  /// through when the user interrupts.
  virtual void execute(const std::filesystem::path& input, const std::filesystem::path& output,
                       const Json& parameters, const std::filesystem::path& cwd) = 0;
};

/// Runs an outside command line `<program...> <input> <output> --cwd <cwd>
/// -y <parameters as compact JSON>`: the child's standard output and standard
/// error pass through to our standard error; a non-zero exit becomes an
/// ExecutorError whose message is the last non-empty line the child wrote to
/// standard error (terminal colour codes removed).
class CommandExecutor : public NotebookExecutor {
 public:
  /// `command`: the program and any leading arguments (e.g. a Python
  /// interpreter and the runner script).
  explicit CommandExecutor(std::vector<std::string> command) : command_(std::move(command)) {}
  void execute(const std::filesystem::path& input, const std::filesystem::path& output,
               const Json& parameters, const std::filesystem::path& cwd) override;
  const std::vector<std::string>& command() const { return command_; }

 private:
  std::vector<std::string> command_;
};

/// The `papermill` command.
class PapermillExecutor : public CommandExecutor {
 public:
  explicit PapermillExecutor(const std::filesystem::path& program)
      : CommandExecutor({program.string()}) {}
};

/// The bundled runner script, run by a Python interpreter that has nbclient
/// and nbformat.
class BundledRunnerExecutor : public CommandExecutor {
 public:
  BundledRunnerExecutor(const std::filesystem::path& python, const std::filesystem::path& runner)
      : CommandExecutor({python.string(), runner.string()}) {}
};

/// No executor on this machine: every call throws an ExecutorError that says
/// how to install one.
class MissingExecutor : public NotebookExecutor {
 public:
  explicit MissingExecutor(std::string message) : message_(std::move(message)) {}
  void execute(const std::filesystem::path&, const std::filesystem::path&, const Json&,
               const std::filesystem::path&) override {
    throw ExecutorError(message_);
  }

 private:
  std::string message_;
};

/// Where the default executor is looked for. The defaults are those of a
/// normal run; tests narrow them.
struct ExecutorLookup {
  /// Look for `papermill` on PATH first.
  bool use_papermill = true;
  /// Python interpreters tried in order for the bundled runner; empty means
  /// `python3` on PATH, /usr/bin/python3, /usr/local/bin/python3.
  std::vector<std::filesystem::path> pythons;
  /// The runner script; absent means paths::get_runner_path().
  std::optional<std::filesystem::path> runner;
};

/// Looks the executor up now: papermill on PATH, else the bundled runner with
/// the first interpreter that can import nbclient and nbformat (each probed
/// once, with a time limit), else a MissingExecutor.
std::shared_ptr<NotebookExecutor> resolve_executor(const ExecutorLookup& lookup = {});

/// An executor that resolves `lookup` on its first call and keeps what it
/// found for every later call.
class DefaultExecutor : public NotebookExecutor {
 public:
  explicit DefaultExecutor(ExecutorLookup lookup = {}) : lookup_(std::move(lookup)) {}
  void execute(const std::filesystem::path& input, const std::filesystem::path& output,
               const Json& parameters, const std::filesystem::path& cwd) override;
  /// The executor found (looking it up now if not done yet).
  std::shared_ptr<NotebookExecutor> resolved();

 private:
  ExecutorLookup lookup_;
  std::mutex mutex_;
  std::shared_ptr<NotebookExecutor> resolved_;
};

/// The process-wide default executor (one DefaultExecutor with the normal
/// lookup): looked up on first use, then kept.
std::shared_ptr<NotebookExecutor> find_default_executor();

}  // namespace kemora::motor
