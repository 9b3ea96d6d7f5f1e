#pragma once
#include <filesystem>
#include <string_view>

namespace kemora::common {

/// Writes `content` to a temporary file in the folder of `path`, flushes it to
/// disk and renames it over `path`. A crash or an error never leaves a
/// half-written `path` behind; the temporary file is removed on error.
/// Throws std::runtime_error naming `path` and the system error.
void write_file_atomic(const std::filesystem::path& path, std::string_view content);

/// Reads a whole file. Throws std::runtime_error naming the file when it is
/// missing, a directory or unreadable.
std::string read_file(const std::filesystem::path& path);

}  // namespace kemora::common
