#include "kemora/motor/fingerprint_cache.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

#include "kemora/motor/fingerprint.hpp"

namespace kemora::motor {
namespace {

// How long a statement waits for another process's lock before the cache
// gives up on that kind of statement for the rest of the run.
constexpr int kBusyTimeoutMs = 1000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS fingerprints_v1 ("
    " path TEXT PRIMARY KEY, dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, hashed_ns INTEGER NOT NULL,"
    " fingerprint TEXT NOT NULL, seal INTEGER NOT NULL) WITHOUT ROWID";
constexpr const char* kSelect =
    "SELECT dev, ino, size, mtime_ns, ctime_ns, hashed_ns, fingerprint, seal FROM fingerprints_v1 WHERE path = ?1";
constexpr const char* kUpsert = "INSERT OR REPLACE INTO fingerprints_v1 VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";

std::int64_t ns(const struct timespec& t) { return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec; }

std::int64_t real_time_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool trusted(const FileStamp& s, std::int64_t hashed_at_ns) {
  return std::max(s.mtime_ns, s.ctime_ns) <= hashed_at_ns - kFingerprintTrustMarginNs;
}

bool is_fingerprint(std::string_view fp) {
  return fp.size() == 16 && std::all_of(fp.begin(), fp.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// A checksum over the whole entry: a page of the database damaged in a way
// SQLite does not notice makes the entry count as absent, never as another
// fingerprint.
std::int64_t seal(const std::string& path, const FileStamp& s, std::int64_t hashed_ns, std::string_view fp) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  auto mix = [&](const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  };
  mix(path.data(), path.size() + 1);  // with its terminating NUL
  for (std::uint64_t v : {s.dev, s.ino, std::uint64_t(s.size), std::uint64_t(s.mtime_ns), std::uint64_t(s.ctime_ns),
                          std::uint64_t(hashed_ns)})
    mix(&v, sizeof v);
  mix(fp.data(), fp.size());
  return static_cast<std::int64_t>(h);
}

// The key of a file: its absolute path, lexically normalised, so that the
// same file named from two working directories or as "./x" and "x" is one entry.
std::optional<std::string> key_of(const std::string& path) {
  std::error_code ec;
  auto abs = std::filesystem::absolute(path, ec);
  if (ec) return std::nullopt;
  return abs.lexically_normal().string();
}

bool is_damage(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }
bool is_busy(int rc) { return (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED; }

// Creates the cache folder when it is missing; false when there is none to use.
bool ensure_folder(const std::filesystem::path& dir) {
  if (::mkdir(dir.c_str(), 0777) == 0) {
    std::ofstream(dir / ".gitignore") << "# Kemora's fingerprint cache: safe to delete.\n*\n";
    return true;
  }
  struct stat st {};
  return errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::optional<FileStamp> file_stamp(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return FileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

struct FingerprintCache::Db {
  sqlite3* handle = nullptr;
  sqlite3_stmt* select = nullptr;
  sqlite3_stmt* upsert = nullptr;
  bool can_write = true;
  ~Db() {
    sqlite3_finalize(select);
    sqlite3_finalize(upsert);
    sqlite3_close_v2(handle);
  }
};

FingerprintCache::FingerprintCache(std::filesystem::path db_file, Clock now_ns)
    : db_file_(std::move(db_file)), now_ns_(now_ns ? std::move(now_ns) : Clock(real_time_ns)) {}

FingerprintCache::~FingerprintCache() = default;

bool FingerprintCache::open() {
  if (db_) return true;
  if (tried_) return false;
  tried_ = true;
  if (!ensure_folder(db_file_.parent_path())) return false;

  auto db = std::make_unique<Db>();
  int rc = sqlite3_open_v2(db_file_.c_str(), &db->handle,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(db->handle, kBusyTimeoutMs);
  // The journal mode is kept in the file: once set, later opens only read it.
  // Without the write-ahead log (a file system that cannot share memory) the
  // rollback journal and the busy timeout still keep concurrent runs apart.
  if (rc == SQLITE_OK) {
    rc = sqlite3_exec(db->handle, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if (is_busy(rc)) rc = SQLITE_OK;
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db->handle, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db->handle, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v3(db->handle, kSelect, -1, SQLITE_PREPARE_PERSISTENT, &db->select, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_prepare_v3(db->handle, kUpsert, -1, SQLITE_PREPARE_PERSISTENT, &db->upsert, nullptr);
  if (rc != SQLITE_OK) {
    if (!db->handle) return false;
    db.reset();
    failed(rc);
    return open();  // after a rebuild; false otherwise
  }
  db_ = std::move(db);
  return true;
}

void FingerprintCache::failed(int rc) {
  if (is_busy(rc)) {
    // Another run holds the database longer than the timeout: stop writing
    // (reading a write-ahead log never waits for a writer).
    if (db_) db_->can_write = false;
    return;
  }
  db_.reset();
  if (is_damage(rc) && !rebuilt_) {
    rebuilt_ = true;
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
      std::filesystem::remove(db_file_.string() + suffix, ec);
    tried_ = false;  // the next open makes a new database
  }
}

std::optional<std::string> FingerprintCache::lookup(const std::string& path, const FileStamp& stamp) {
  auto key = key_of(path);
  if (!key || !open()) return std::nullopt;
  sqlite3_stmt* q = db_->select;
  sqlite3_bind_text(q, 1, key->data(), static_cast<int>(key->size()), SQLITE_STATIC);
  std::optional<std::string> found;
  int rc = sqlite3_step(q);
  if (rc == SQLITE_ROW) {
    FileStamp s{static_cast<std::uint64_t>(sqlite3_column_int64(q, 0)),
                static_cast<std::uint64_t>(sqlite3_column_int64(q, 1)), sqlite3_column_int64(q, 2),
                sqlite3_column_int64(q, 3), sqlite3_column_int64(q, 4)};
    const std::int64_t hashed_ns = sqlite3_column_int64(q, 5);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(q, 6));
    std::string fp = text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(q, 6))) : std::string();
    if (s == stamp && trusted(s, hashed_ns) && is_fingerprint(fp) &&
        sqlite3_column_int64(q, 7) == seal(*key, s, hashed_ns, fp))
      found = std::move(fp);
    rc = sqlite3_step(q);
  }
  sqlite3_reset(q);
  sqlite3_clear_bindings(q);
  if (rc != SQLITE_DONE) {
    if (is_busy(rc)) rc = SQLITE_IOERR;  // a reader that waits: give the cache up
    failed(rc);
    return std::nullopt;
  }
  return found;
}

bool FingerprintCache::store(const std::string& path, const FileStamp& stamp, const std::string& fp,
                             std::int64_t hashed_at_ns) {
  if (!trusted(stamp, hashed_at_ns) || !is_fingerprint(fp)) return false;
  auto key = key_of(path);
  if (!key || !open() || !db_->can_write) return false;
  sqlite3_stmt* q = db_->upsert;
  sqlite3_bind_text(q, 1, key->data(), static_cast<int>(key->size()), SQLITE_STATIC);
  sqlite3_bind_int64(q, 2, static_cast<sqlite3_int64>(stamp.dev));
  sqlite3_bind_int64(q, 3, static_cast<sqlite3_int64>(stamp.ino));
  sqlite3_bind_int64(q, 4, stamp.size);
  sqlite3_bind_int64(q, 5, stamp.mtime_ns);
  sqlite3_bind_int64(q, 6, stamp.ctime_ns);
  sqlite3_bind_int64(q, 7, hashed_at_ns);
  sqlite3_bind_text(q, 8, fp.data(), static_cast<int>(fp.size()), SQLITE_STATIC);
  sqlite3_bind_int64(q, 9, seal(*key, stamp, hashed_at_ns, fp));
  int rc = sqlite3_step(q);
  sqlite3_reset(q);
  sqlite3_clear_bindings(q);
  if (rc == SQLITE_DONE) return true;
  if ((rc & 0xff) == SQLITE_READONLY) rc = SQLITE_BUSY;  // keep reading, stop writing
  failed(rc);
  return false;
}

std::string FingerprintCache::fingerprint(const std::string& path) {
  auto before = file_stamp(path);
  // Not a regular file: _file_hash gives the error (or the bytes of a device).
  if (!before) return _file_hash(path);
  if (auto fp = lookup(path, *before)) return *fp;
  const std::int64_t hashed_at = now_ns_();
  std::string fp = _file_hash(path);
  // A file that changed while it was read keeps no entry.
  if (auto after = file_stamp(path); after && *after == *before) store(path, *before, fp, hashed_at);
  return fp;
}

}  // namespace kemora::motor
