#pragma once
// What the fuzz targets share: a scratch folder on a memory file system, set
// up once per process, and the checks that end a run as a crash.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "kemora/common/text.hpp"

namespace kemora::fuzz {

/// The scratch folder's path; empty until scratch() made it.
inline std::filesystem::path& scratch_path() {
  static std::filesystem::path p;
  return p;
}

/// A folder of this process's own, made on first use (under /dev/shm when
/// there is one) and removed at exit, and standard output silenced: the
/// libraries print report lines that would drown the fuzzer's own.
inline const std::filesystem::path& scratch() {
  if (scratch_path().empty()) {
    std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    scratch_path() = base / ("kemora-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(scratch_path());
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_path(), ec);
    });
  }
  return scratch_path();
}

inline void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

inline std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Everything we write must be valid UTF-8.
inline void require_utf8(std::string_view text) {
  if (common::utf8_invalid_at(text)) std::abort();
}

}  // namespace kemora::fuzz
