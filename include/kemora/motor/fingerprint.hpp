#pragma once
#include <optional>
#include <string>

#include "kemora/json.hpp"

/// Content and git fingerprints of files, and the repository information of a
/// working copy. Git runs as a child process without a shell, 5 s per command.
namespace kemora::motor {

/// First 16 lower-case hex digits of the SHA-256 of the file's bytes, read in
/// blocks of 8192 bytes. Throws kemora::FileNotFound naming the file when it
/// is missing, std::runtime_error naming it when it is a directory or
/// unreadable.
std::string _file_hash(const std::string& path);

/// First 16 characters of what `git hash-object <file_path>` prints in
/// `repo_dir`; none on any failure of git (not found, non-zero status, time-out).
std::optional<std::string> _git_hash(const std::string& repo_dir, const std::string& file_path);

/// Repository information of the working copy around `repo_dir`, members in
/// this order as far as present: git_available, git_commit, git_commit_short,
/// git_branch, git_error. Never throws for a failure of git.
JsonDoc _git_info(const std::string& repo_dir);

/// Time limit of one git command.
inline constexpr int kGitTimeoutMs = 5000;

}  // namespace kemora::motor
