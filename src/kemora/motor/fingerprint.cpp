#include "kemora/motor/fingerprint.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "kemora/common/process.hpp"
#include "kemora/errors.hpp"
#include "kemora/common/text.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {
namespace {

[[noreturn]] void file_error(const std::string& path, const std::string& what) {
  throw std::runtime_error(path + ": " + what);
}

struct FdCloser {
  int fd;
  ~FdCloser() { ::close(fd); }
};

// Git output as text: CRLF and lone CR become LF, then trimmed.
std::string git_text(std::string out) {
  std::string norm;
  norm.reserve(out.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\r') {
      norm += '\n';
      if (i + 1 < out.size() && out[i + 1] == '\n') ++i;
    } else {
      norm += out[i];
    }
  }
  return std::string(common::trim(norm));
}

common::ProcessResult run_git(const std::string& repo_dir, std::vector<std::string> args) {
  args.insert(args.begin(), "git");
  return common::run_process(args, {.cwd = std::filesystem::path(repo_dir),
                                    .timeout = std::chrono::milliseconds(kGitTimeoutMs)});
}

}  // namespace

std::string _file_hash(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) throw kemora::FileNotFound(path + ": " + std::strerror(errno));
    file_error(path, std::strerror(errno));
  }
  FdCloser closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) file_error(path, "is a directory, not a file");

  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 is not available from OpenSSL");
  unsigned char block[8192];
  while (true) {
    ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0) {
      if (errno == EINTR) continue;
      file_error(path, std::string("read error: ") + std::strerror(errno));
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), block, static_cast<std::size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &len);
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < 8; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 0xF];
  }
  return out;
}

std::optional<std::string> _git_hash(const std::string& repo_dir, const std::string& file_path) {
  try {
    auto r = run_git(repo_dir, {"hash-object", file_path});
    if (r.exit_status != 0) return std::nullopt;
    std::string h = git_text(std::move(r.out));
    return h.substr(0, 16);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

common::JsonDoc _git_info(const std::string& repo_dir) {
  common::JsonDoc info(rapidjson::kObjectType);
  auto& a = info.GetAllocator();
  info.AddMember("git_available", false, a);
  try {
    auto head = run_git(repo_dir, {"rev-parse", "HEAD"});
    if (head.exit_status == 0) {
      std::string commit = git_text(std::move(head.out));
      info["git_available"] = true;
      info.AddMember("git_commit", common::json_string(commit, a), a);
      info.AddMember("git_commit_short", common::json_string(common::utf8_prefix(commit, 8), a), a);
    }
    auto branch = run_git(repo_dir, {"branch", "--show-current"});
    if (branch.exit_status == 0) {
      std::string name = git_text(std::move(branch.out));
      info.AddMember("git_branch", common::json_string(name.empty() ? "DETACHED" : name, a), a);
    }
  } catch (const std::exception& e) {
    info.AddMember("git_error", common::json_string(e.what(), a), a);
  }
  return info;
}

}  // namespace kemora::motor
