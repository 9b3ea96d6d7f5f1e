#include "kemora/common/atomic_file.hpp"

#include "kemora/errors.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

namespace kemora::common {
namespace {

[[noreturn]] void fail(const std::filesystem::path& path, const std::string& what, int err) {
  throw std::runtime_error(path.string() + ": " + what + ": " + std::strerror(err));
}

mode_t new_file_mode(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return st.st_mode & 07777;
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

/// The file to write for `path`: `path` itself, or the file a symbolic link
/// there points to (the link stays). Throws when a folder or anything else
/// that is not a regular file stands there: it must never be replaced.
std::filesystem::path target_of(const std::filesystem::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return path;  // nothing there yet
  if (S_ISREG(st.st_mode)) return path;
  if (S_ISLNK(st.st_mode)) {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
    if (!ec && target != path) return target_of(target);
  }
  if (S_ISDIR(st.st_mode)) throw std::runtime_error(path.string() + ": is a folder, not a file; nothing was written");
  throw std::runtime_error(path.string() + ": is not a regular file; nothing was written");
}

/// Our temporary names: "." + file name + ".tmp-" + six letters or digits.
bool is_our_temporary(const std::string& name) {
  const std::size_t at = name.rfind(".tmp-");
  if (name.size() < 13 || name[0] != '.' || at == std::string::npos || at < 2 || name.size() - at != 11) return false;
  for (std::size_t i = at + 5; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

/// Removes the temporary files that a process killed while writing left in
/// `dir` (older than a minute, so that no write still under way loses its
/// file). Best effort: what cannot be removed stays.
void remove_stale_temporaries(const std::filesystem::path& dir) {
  std::error_code ec;
  const auto now = std::filesystem::file_time_type::clock::now();
  for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!is_our_temporary(name)) continue;
    std::error_code e2;
    if (!it->is_regular_file(e2) || it->is_symlink(e2)) continue;
    const auto written = it->last_write_time(e2);
    if (e2 || now - written < std::chrono::minutes(1)) continue;
    std::filesystem::remove(it->path(), e2);
  }
}

/// Exchanges the names of two files atomically; false when `path` does not
/// exist or the file system cannot do it. Replacing a file with rename(2)
/// makes ext4 start writing out the new file's data at once (its guard for
/// files replaced without a flush), which costs as much as the write itself;
/// an exchange does not.
bool swap_names(const std::string& tmp, const std::filesystem::path& path) {
  return ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0;
}

}  // namespace

void write_file_atomic(const std::filesystem::path& requested, std::string_view content,
                       AtomicWriteOptions options) {
  write_file_atomic(requested, [&](const AtomicPieceWriter& write) { write(content); }, options);
}

void write_file_atomic(const std::filesystem::path& requested,
                       const std::function<void(const AtomicPieceWriter&)>& produce, AtomicWriteOptions options) {
  const std::filesystem::path path = target_of(requested);
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  remove_stale_temporaries(dir);
  std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) fail(path, "cannot create a temporary file beside it", errno);
  bool closed = false;
  auto abandon = [&](const char* what) {
    int err = errno;
    closed = true;
    ::close(fd);
    ::unlink(tmpl.c_str());
    fail(path, what, err);
  };
  const AtomicPieceWriter write = [&](std::string_view piece) {
    const char* p = piece.data();
    std::size_t left = piece.size();
    while (left > 0) {
      ssize_t n = ::write(fd, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        abandon("cannot write");
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  };
  try {
    produce(write);
  } catch (...) {
    if (!closed) {
      ::close(fd);
      ::unlink(tmpl.c_str());
    }
    throw;
  }
  if (::fchmod(fd, new_file_mode(path)) != 0) abandon("cannot set permissions");
  if (options.sync && ::fsync(fd) != 0) abandon("cannot flush to disk");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    fail(path, "cannot close", err);
  }
  if (!options.sync && swap_names(tmpl, path)) {
    // The temporary name now holds what stood at `path`: the old file, or,
    // when a folder took its place meanwhile, that folder, which goes back.
    struct stat st {};
    if (::lstat(tmpl.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      swap_names(tmpl, path);
      ::unlink(tmpl.c_str());
      throw std::runtime_error(path.string() + ": is not a regular file; nothing was written");
    }
    ::unlink(tmpl.c_str());
    return;
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    fail(path, "cannot replace", err);
  }
}

std::string read_file(const std::filesystem::path& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) throw FileNotFound(path.string() + ": no such file");
  if (std::filesystem::is_directory(status)) throw std::runtime_error(path.string() + ": is a directory, not a file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path.string() + ": cannot open: " + std::strerror(errno));
  std::string data;
  auto size = std::filesystem::file_size(path, ec);
  if (!ec) data.reserve(size);
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(path.string() + ": read error");
  return data;
}

}  // namespace kemora::common
