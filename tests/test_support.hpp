#pragma once
// Helpers shared by the test programs: temporary folders, files, Python.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <optional>
#include <string>

#include "kemora/common/process.hpp"

namespace kemora::test {

/// A fresh folder under the system's temp folder, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kemora-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = std::filesystem::canonical(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline void write_text(const std::filesystem::path& p, const std::string& content) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << content;
}

inline std::string read_text(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/// Debian's interpreter, which has the Debian Python packages.
inline std::string system_python() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

/// Runs a Python script with `input` on its standard input (through a file)
/// and returns its standard output.
inline std::string run_python(const std::string& script, const std::string& input) {
  TempDir dir;
  write_text(dir / "in.txt", input);
  auto r = common::run_process({system_python(), "-c",
                                "import sys; sys.stdin = open(sys.argv[2], encoding='utf-8'); "
                                "sys.argv = sys.argv[1:2]; exec(open(sys.argv[0], encoding='utf-8').read())",
                                script, (dir / "in.txt").string()});
  if (r.exit_status != 0) throw std::runtime_error("python failed: " + r.err);
  return r.out;
}

/// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_, old_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

/// Standard output goes to a pipe whose reader has gone, as under
/// `kemora ... | head -1`, for the life of the object; then it is restored
/// and std::cout made usable again.
class StdoutToClosedPipe {
 public:
  StdoutToClosedPipe() {
    int p[2];
    if (::pipe(p) != 0) throw std::runtime_error("pipe failed");
    ::close(p[0]);
    std::cout.flush();
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(p[1], STDOUT_FILENO);
    ::close(p[1]);
  }
  ~StdoutToClosedPipe() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    std::cout.clear();
  }
  StdoutToClosedPipe(const StdoutToClosedPipe&) = delete;
  StdoutToClosedPipe& operator=(const StdoutToClosedPipe&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace kemora::test
