#pragma once
#include <filesystem>
#include <functional>
#include <string_view>

namespace kemora::common {

struct AtomicWriteOptions {
  /// Flush the file to disk before the rename. A file that is made again from
  /// its inputs whenever needed (a rendered page) may skip it: readers still
  /// see either the old or the whole new content, but after a system crash
  /// the file may be found empty.
  bool sync = true;
};

/// Writes `content` to a temporary file in the folder of `path`, flushes it to
/// disk (unless options.sync is false) and renames it over `path`. An error
/// never leaves a half-written `path` behind; the temporary file is removed
/// on error. Throws std::runtime_error naming `path` and the system error.
/// A folder or anything else that is not a regular file at `path` is an error
/// and stays untouched; a symbolic link to a file has that file replaced.
/// Temporary files of ours older than a minute in that folder, left by a
/// process killed while writing, are removed first.
void write_file_atomic(const std::filesystem::path& path, std::string_view content,
                       AtomicWriteOptions options = {});

/// write_file_atomic for content written in pieces: `produce` is called once
/// with a function that writes a piece, and the file is replaced after it
/// returned. Whatever `produce` throws leaves `path` untouched and goes on
/// to the caller.
using AtomicPieceWriter = std::function<void(std::string_view piece)>;
void write_file_atomic(const std::filesystem::path& path, const std::function<void(const AtomicPieceWriter&)>& produce,
                       AtomicWriteOptions options = {});

/// Reads a whole file. Throws std::runtime_error naming the file when it is
/// missing, a directory or unreadable.
std::string read_file(const std::filesystem::path& path);

}  // namespace kemora::common
