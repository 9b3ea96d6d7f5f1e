#pragma once
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "kemora/common/json.hpp"

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
  /// written. Throws ExecutorError otherwise; lets common::ProcessInterrupted
  /// through when the user interrupts.
  virtual void execute(const std::filesystem::path& input, const std::filesystem::path& output,
                       const common::Json& parameters, const std::filesystem::path& cwd) = 0;
};

/// The default executor, looked up when called: "papermill" on PATH, else the
/// bundled runner with a Python that has nbclient, else one that fails every
/// notebook with a message saying how to install an executor.
std::shared_ptr<NotebookExecutor> find_default_executor();

}  // namespace kemora::motor
