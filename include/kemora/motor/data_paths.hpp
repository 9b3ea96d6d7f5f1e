#pragma once
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kemora/console_sink.hpp"

/// Where the ingest steps' source data lies: a map from data-source key to
/// folder, read from a JSON file in the working directory.
namespace kemora::motor {

/// Data-source key -> folder text, in the order of the configuration file.
using DataPaths = std::vector<std::pair<std::string, std::string>>;

/// The configuration files looked for in the working directory, first found wins.
inline constexpr const char* kDataPathFiles[] = {"local_data_paths.json", "data_paths_nt.json", "data_paths.json"};

/// The user declined to go on without a configuration file. A host may catch
/// it; the kemora program prints the message to standard error and exits 1.
class PipelineStopped : public std::runtime_error {
 public:
  PipelineStopped() : std::runtime_error("Pipeline durduruldu — local_data_paths.json oluşturun.") {}
};

/// Where the data-source question takes its answer when the input is not a
/// stdio stream (a host that reads its own standard input object).
struct AnswerSource {
  /// True when someone can answer, i.e. the input is an interactive terminal.
  std::function<bool()> is_terminal;
  /// The next line of input without its line break; none at end of input.
  std::function<std::optional<std::string>()> read_line;
};

/// Loads the first configuration file found in `work_dir` and lists it on
/// the console (`console`; standard output when empty). Without one, explains what is missing and, when `input`
/// is a terminal, asks whether to go on with external_data/ (an answer "e" or
/// "evet" goes on; anything else, end of input included, throws
/// PipelineStopped; the question reaches the sink as a line of its own
/// without '\n', and at end of input a lone "\n" finishes it); when it is not a terminal, goes on at once ("[AUTO]").
/// Throws std::runtime_error naming the file when it is not valid JSON (with
/// the byte offset), not an object, a directory or unreadable.
DataPaths _load_data_paths(const std::filesystem::path& work_dir, std::FILE* input = stdin,
                           const ConsoleSink& console = {});
/// The same, with the question's answer taken from `input` (both functions
/// must be set). Exceptions they throw pass through.
DataPaths _load_data_paths(const std::filesystem::path& work_dir, const AnswerSource& input,
                           const ConsoleSink& console = {});

/// The folder of `key`: its configured value unchanged when present,
/// otherwise work_dir/external_data/key.
std::string resolve_data_path(const DataPaths& paths, const std::filesystem::path& work_dir, const std::string& key);

}  // namespace kemora::motor
