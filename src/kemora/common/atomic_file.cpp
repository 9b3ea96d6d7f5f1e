#include "kemora/common/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

/// Exchanges the names of two files atomically; false when `path` does not
/// exist or the file system cannot do it. Replacing a file with rename(2)
/// makes ext4 start writing out the new file's data at once (its guard for
/// files replaced without a flush), which costs as much as the write itself;
/// an exchange does not.
bool swap_names(const std::string& tmp, const std::filesystem::path& path) {
  return ::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0;
}

}  // namespace

void write_file_atomic(const std::filesystem::path& path, std::string_view content,
                       AtomicWriteOptions options) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) fail(path, "cannot create a temporary file beside it", errno);
  auto abandon = [&](const char* what) {
    int err = errno;
    ::close(fd);
    ::unlink(tmpl.c_str());
    fail(path, what, err);
  };
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon("cannot write");
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, new_file_mode(path)) != 0) abandon("cannot set permissions");
  if (options.sync && ::fsync(fd) != 0) abandon("cannot flush to disk");
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmpl.c_str());
    fail(path, "cannot close", err);
  }
  if (!options.sync && swap_names(tmpl, path)) {
    ::unlink(tmpl.c_str());  // the temporary name now holds the old content
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
  if (ec || !std::filesystem::exists(status)) throw std::runtime_error(path.string() + ": no such file");
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
