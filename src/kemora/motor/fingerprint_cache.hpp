#pragma once
// The fingerprint cache of a working directory: _file_hash results kept in
// an SQLite database, so that an unchanged file is not read again.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kemora::motor {

/// What the file system says of one state of a file. Any change of the file's
/// content changes at least one member (the change time even when the
/// modification time is put back).
struct FileStamp {
  std::uint64_t dev = 0, ino = 0;
  std::int64_t size = 0, mtime_ns = 0, ctime_ns = 0;
  bool operator==(const FileStamp&) const = default;
};

/// The stamp of the file at `path`, symbolic links followed; none when it
/// cannot be read or is not a regular file.
std::optional<FileStamp> file_stamp(const std::string& path);

/// An entry is trusted only when the file's modification and change times
/// were at least this much older than the moment hashing began: a file
/// rewritten within the clock's granularity could otherwise keep its stamp.
inline constexpr std::int64_t kFingerprintTrustMarginNs = 2'000'000'000;

/// Fingerprints remembered in one database file, keyed by the file's absolute
/// path and its FileStamp. Several processes may use the same file at once
/// (write-ahead log, busy timeout). Every failure of the database (missing,
/// damaged, locked too long, read-only, a folder in the way) only means "not
/// remembered": the file is hashed; no call throws because of the cache. A
/// database that SQLite finds damaged is deleted and made anew, once per
/// object. Not for use from two threads at once.
class FingerprintCache {
 public:
  /// Nanoseconds since the Unix epoch.
  using Clock = std::function<std::int64_t()>;

  /// Nothing is opened or created before the first call. The folder of
  /// `db_file` is created when missing (its parent must exist), with a
  /// .gitignore that keeps it out of the working copy. `now_ns` defaults to
  /// the system's real-time clock.
  explicit FingerprintCache(std::filesystem::path db_file, Clock now_ns = {});
  ~FingerprintCache();
  FingerprintCache(const FingerprintCache&) = delete;
  FingerprintCache& operator=(const FingerprintCache&) = delete;

  /// _file_hash(path): the remembered fingerprint when the file's stamp is the
  /// one of a trusted entry, else the file is hashed and, when its stamp did
  /// not change while it was read and is old enough, remembered. Throws only
  /// what _file_hash throws.
  std::string fingerprint(const std::string& path);

  /// The trusted fingerprint remembered for `path` in the state `stamp`.
  std::optional<std::string> lookup(const std::string& path, const FileStamp& stamp);

  /// Remembers `fp` for `path` in the state `stamp`, hashed from
  /// `hashed_at_ns` on. False when the entry would not be trusted (see
  /// kFingerprintTrustMarginNs) or the database could not take it.
  bool store(const std::string& path, const FileStamp& stamp, const std::string& fp, std::int64_t hashed_at_ns);

 private:
  struct Db;
  bool open();
  /// Handles an SQLite result code other than success: a lock held too long
  /// stops the writing, damage deletes the database once (the next call
  /// makes it anew), anything else closes it for good.
  void failed(int rc);

  std::filesystem::path db_file_;
  Clock now_ns_;
  std::unique_ptr<Db> db_;
  bool tried_ = false, rebuilt_ = false;
};

}  // namespace kemora::motor
