#include "kemora/motor/executor.hpp"

#include <chrono>
#include <string_view>
#include <system_error>

#include "kemora/common/process.hpp"
#include "kemora/common/text.hpp"
#include "kemora/paths.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kInstallHint =
    "apt-get install python3-nbclient python3-nbformat python3-ipykernel, or put papermill on PATH";

/// How long one interpreter may take to import the Jupyter libraries.
constexpr std::chrono::seconds kProbeLimit{30};

/// `line` without terminal escape sequences (CSI "ESC [ ... final byte" and
/// two-byte "ESC x").
std::string strip_escapes(std::string_view line) {
  std::string out;
  out.reserve(line.size());
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\x1b') {
      out += line[i];
      continue;
    }
    if (i + 1 < line.size() && line[i + 1] == '[') {
      std::size_t j = i + 2;
      while (j < line.size() && !(line[j] >= 0x40 && line[j] <= 0x7e)) ++j;
      i = j;  // the final byte (or the end)
    } else {
      ++i;
    }
  }
  return out;
}

/// The last non-empty line of `text`, as a terminal would show it: colour
/// codes removed, and of a line rewritten with carriage returns only the last
/// non-empty part.
std::string last_line(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t start = text.rfind('\n', end - 1);
    start = start == std::string_view::npos ? 0 : start + 1;
    std::string_view line = text.substr(start, end - start);
    end = start == 0 ? 0 : start - 1;
    // Of "progress\rprogress\rfinal", the terminal shows the last part.
    std::size_t seg_end = line.size();
    while (true) {
      std::size_t cr = seg_end == 0 ? std::string_view::npos : line.rfind('\r', seg_end - 1);
      std::size_t seg_start = cr == std::string_view::npos ? 0 : cr + 1;
      std::string seg(common::trim(strip_escapes(line.substr(seg_start, seg_end - seg_start))));
      if (!seg.empty()) return seg;
      if (cr == std::string_view::npos) break;
      seg_end = cr;
    }
  }
  return {};
}

/// True when `python` starts and can import the libraries the runner needs.
bool has_jupyter_libraries(const fs::path& python) {
  try {
    auto result = common::run_process({python.string(), "-c", "import nbclient, nbformat"},
                                      {.timeout = kProbeLimit});
    return result.exit_status == 0;
  } catch (const common::ProcessError&) {  // not there, not runnable, too slow
    return false;
  }
}

std::vector<fs::path> default_pythons() {
  std::vector<fs::path> candidates;
  if (auto on_path = common::find_program("python3")) candidates.push_back(*on_path);
  for (const char* fixed : {"/usr/bin/python3", "/usr/local/bin/python3"}) {
    std::error_code ec;
    bool same = false;
    for (const auto& c : candidates) same = same || fs::equivalent(c, fixed, ec);
    if (!same) candidates.emplace_back(fixed);
  }
  return candidates;
}

}  // namespace

void CommandExecutor::execute(const fs::path& input, const fs::path& output, const common::Json& parameters,
                              const fs::path& cwd) {
  if (!parameters.IsObject()) throw ExecutorError("notebook parameters must be a JSON object");
  std::vector<std::string> argv = command_;
  argv.insert(argv.end(), {input.string(), output.string(), "--cwd", cwd.string(), "-y",
                           common::json_dumps(parameters, {.style = common::JsonStyle::Compact})});
  common::ProcessResult result;
  try {
    result = common::run_process(argv, {.output = common::ProcessOptions::Output::PassToStderr});
  } catch (const common::ProcessError& e) {
    throw ExecutorError(e.what());
  }
  if (result.exit_status != 0) {
    std::string message = last_line(result.err);
    if (message.empty()) message = "notebook executor exited with status " + std::to_string(result.exit_status);
    throw ExecutorError(message);
  }
  std::error_code ec;
  if (!fs::is_regular_file(output, ec))
    throw ExecutorError("notebook executor did not write the executed copy " + output.string());
}

std::shared_ptr<NotebookExecutor> resolve_executor(const ExecutorLookup& lookup) {
  if (lookup.use_papermill) {
    if (auto papermill = common::find_program("papermill")) return std::make_shared<PapermillExecutor>(*papermill);
  }
  const fs::path runner = lookup.runner ? *lookup.runner : paths::get_runner_path();
  const std::vector<fs::path> pythons = lookup.pythons.empty() ? default_pythons() : lookup.pythons;
  for (const auto& python : pythons) {
    if (!has_jupyter_libraries(python)) continue;
    std::error_code ec;
    if (!fs::is_regular_file(runner, ec))
      return std::make_shared<MissingExecutor>("no notebook executor: the bundled runner " + runner.string() +
                                               " is missing (reinstall kemora), or put papermill on PATH");
    return std::make_shared<BundledRunnerExecutor>(python, runner);
  }
  return std::make_shared<MissingExecutor>(
      "no notebook executor: neither papermill nor a Python with nbclient and nbformat was found; install one: " +
      std::string(kInstallHint));
}

std::shared_ptr<NotebookExecutor> DefaultExecutor::resolved() {
  std::lock_guard lock(mutex_);
  if (!resolved_) resolved_ = resolve_executor(lookup_);
  return resolved_;
}

void DefaultExecutor::execute(const fs::path& input, const fs::path& output, const common::Json& parameters,
                              const fs::path& cwd) {
  resolved()->execute(input, output, parameters, cwd);
}

std::shared_ptr<NotebookExecutor> find_default_executor() {
  static const auto executor = std::make_shared<DefaultExecutor>();
  return executor;
}

}  // namespace kemora::motor
