#include "kemora/motor/fingerprint_cache.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "kemora/motor/motor.hpp"
#include "motor/motor_fixture.hpp"

using namespace kemora::motor;
using kemora::test::age_season;
using kemora::test::read_text;
using kemora::test::TempDir;
using kemora::test::write_text;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

std::int64_t real_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// A clock far enough ahead that files written just now count as old.
FingerprintCache::Clock later() {
  return [] { return real_now() + 10 * kSecond; };
}

std::int64_t newest_time(const std::string& path) {
  auto s = file_stamp(path).value();
  return std::max(s.mtime_ns, s.ctime_ns);
}

void set_mtime(const std::string& path, std::int64_t mtime_ns) {
  struct timespec times[2] = {{0, UTIME_OMIT}, {mtime_ns / kSecond, mtime_ns % kSecond}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// What SQLite itself finds in the database: "ok" and the number of entries.
std::pair<std::string, int> inspect(const std::filesystem::path& db_file) {
  sqlite3* db = nullptr;
  std::string check = "cannot open";
  int rows = -1;
  if (sqlite3_open_v2(db_file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* q = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &q, nullptr) == SQLITE_OK && sqlite3_step(q) == SQLITE_ROW)
      check = reinterpret_cast<const char*>(sqlite3_column_text(q, 0));
    sqlite3_finalize(q);
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM fingerprints_v1", -1, &q, nullptr) == SQLITE_OK &&
        sqlite3_step(q) == SQLITE_ROW)
      rows = sqlite3_column_int(q, 0);
    sqlite3_finalize(q);
  }
  sqlite3_close(db);
  return {check, rows};
}

class Cache : public testing::Test {
 protected:
  std::string file(const std::string& name, const std::string& content) {
    write_text(dir / name, content);
    return (dir / name).string();
  }
  TempDir dir;
  std::filesystem::path db_file = dir / ".kemora" / "fingerprints.db";
};

}  // namespace

TEST_F(Cache, AnyChangeOfTheFileIsHashedAgainEvenWithSizeAndModificationTimeKept) {
  const std::string a = file("a.csv", "muta,deger\n1,10\n");
  const std::int64_t mtime = file_stamp(a)->mtime_ns;
  {
    FingerprintCache cache(db_file, later());
    EXPECT_EQ(cache.fingerprint(a), _file_hash(a));
    ASSERT_TRUE(cache.lookup(a, *file_stamp(a)));  // remembered
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // past the kernel's timestamp tick
  const auto before = *file_stamp(a);
  write_text(a, "muta,deger\n1,99\n");  // same size
  set_mtime(a, mtime);
  const auto after = *file_stamp(a);
  ASSERT_EQ(after.size, before.size);
  ASSERT_EQ(after.mtime_ns, before.mtime_ns);
  ASSERT_NE(after.ctime_ns, before.ctime_ns);
  FingerprintCache cache(db_file, later());
  EXPECT_EQ(cache.fingerprint(a), _file_hash(a));

  // Replaced by another file under the same name, or grown: hashed again.
  std::filesystem::remove(a);
  write_text(a, "muta,deger\n1,77\n");
  EXPECT_EQ(cache.fingerprint(a), _file_hash(a));
  write_text(a, "muta,deger\n1,77\n2,5\n");
  set_mtime(a, mtime);
  EXPECT_EQ(cache.fingerprint(a), _file_hash(a));
  // The errors of _file_hash are unchanged.
  EXPECT_THROW(cache.fingerprint((dir / "missing.csv").string()), std::exception);
  EXPECT_THROW(cache.fingerprint(dir.path().string()), std::exception);
}

TEST_F(Cache, AFileHashedWithinTwoSecondsOfItsLastChangeIsNotTrusted) {
  const std::string a = file("a.csv", "1\n");
  const auto stamp = *file_stamp(a);
  const std::int64_t changed = newest_time(a);
  const std::string planted = "0123456789abcdef";  // stands for the content before a rewrite
  ASSERT_NE(planted, _file_hash(a));

  FingerprintCache cache(db_file, later());
  // Hashed 1.9 s after the change: the entry is refused, the file is read.
  EXPECT_FALSE(cache.store(a, stamp, planted, changed + kSecond * 19 / 10));
  EXPECT_EQ(cache.fingerprint(a), _file_hash(a));
  // Hashed 2 s after: trusted, as the planted value shows.
  EXPECT_TRUE(cache.store(a, stamp, planted, changed + 2 * kSecond));
  EXPECT_EQ(cache.fingerprint(a), planted);

  // fingerprint() takes the moment hashing began from its clock.
  const std::string b = file("b.csv", "2\n");
  const std::int64_t b_changed = newest_time(b);
  FingerprintCache soon(dir / "other" / "fp.db", [&] { return b_changed + kSecond; });
  EXPECT_EQ(soon.fingerprint(b), _file_hash(b));
  EXPECT_FALSE(soon.lookup(b, *file_stamp(b)));
  FingerprintCache old_enough(dir / "other" / "fp.db", [&] { return b_changed + 3 * kSecond; });
  EXPECT_EQ(old_enough.fingerprint(b), _file_hash(b));
  EXPECT_EQ(old_enough.lookup(b, *file_stamp(b)), _file_hash(b));
}

TEST_F(Cache, DamagedOrUnusableDatabaseOnlyCostsHashing) {
  const std::string a = file("a.csv", "1\n");
  const std::string b = file("b.csv", "22\n");
  {
    FingerprintCache cache(db_file, later());
    cache.fingerprint(a);
    cache.fingerprint(b);
  }
  ASSERT_EQ(inspect(db_file), std::make_pair(std::string("ok"), 2));

  // A fingerprint changed inside an intact database file: not believed.
  const std::string fa = _file_hash(a);
  std::string bytes = read_text(db_file);
  auto at = bytes.find(fa);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 16, "0123456789abcdef");
  write_text(db_file, bytes);
  {
    FingerprintCache cache(db_file, later());
    EXPECT_EQ(cache.fingerprint(a), fa);
    EXPECT_EQ(cache.fingerprint(b), _file_hash(b));
  }

  // Garbage in place of the database: ignored, then made anew.
  write_text(db_file, std::string(8192, 'x'));
  {
    FingerprintCache cache(db_file, later());
    EXPECT_EQ(cache.fingerprint(a), fa);
    EXPECT_EQ(cache.lookup(a, *file_stamp(a)), fa);
  }
  EXPECT_EQ(inspect(db_file), std::make_pair(std::string("ok"), 1));

  // A folder where the database should be, a file where its folder should be.
  std::filesystem::remove(db_file);
  std::filesystem::create_directories(db_file);
  FingerprintCache folder(db_file, later());
  EXPECT_EQ(folder.fingerprint(a), fa);
  FingerprintCache no_folder(dir / "a.csv" / "fp.db", later());
  EXPECT_EQ(no_folder.fingerprint(a), fa);
  EXPECT_FALSE(no_folder.lookup(a, *file_stamp(a)));
}

TEST_F(Cache, ConcurrentProcessesLeaveAReadableDatabase) {
  std::vector<std::string> files;
  for (int i = 0; i < 150; ++i) files.push_back(file("src/f" + std::to_string(i) + ".bin", std::string(i * 37, 'a' + i % 26)));
  std::vector<pid_t> children;
  for (int c = 0; c < 4; ++c) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int wrong = 0;
      std::mt19937 rng(c);
      for (int pass = 0; pass < 3; ++pass) {
        std::vector<std::string> order = files;
        std::shuffle(order.begin(), order.end(), rng);
        FingerprintCache cache(db_file, later());
        for (const auto& f : order) wrong += cache.fingerprint(f) != _file_hash(f);
      }
      ::_exit(std::min(wrong, 100));
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_EQ(inspect(db_file), std::make_pair(std::string("ok"), 150));
  FingerprintCache cache(db_file, later());
  for (const auto& f : files) EXPECT_EQ(cache.lookup(f, *file_stamp(f)), _file_hash(f)) << f;
}

TEST(EngineCache, FileFingerprintGoesThroughTheWorkDirCacheUnlessTurnedOff) {
  TempDir dir;
  write_text(dir / "nb_01b_ingest_kik.ipynb", "{\"v\": 1}");
  const std::string src = (dir / "src" / "a.csv").string();
  write_text(src, "1\n");
  auto opts = [&](bool cache) {
    return MotorOptions{.work_dir = dir.path().string(), .data_paths = DataPaths{{"k", "v"}}, .fingerprint_cache = cache};
  };
  {
    Motor m(opts(false));
    m.meta_yaz("ingest_kik", dir / "nb_01b_ingest_kik.ipynb", 1.0, SourceHashes{{src, _file_hash(src)}});
    age_season(m, "20200101_000000");
  }
  EXPECT_FALSE(std::filesystem::exists(dir / ".kemora"));

  // An entry that claims other content for the source file: the engine
  // believes it when the cache is on, never when it is off.
  FingerprintCache planted(dir / ".kemora" / "fingerprints.db", later());
  ASSERT_TRUE(planted.store(src, *file_stamp(src), "0123456789abcdef", real_now() + 10 * kSecond));
  EXPECT_EQ(Motor(opts(true)).meta_kontrol("ingest_kik").second, "kaynak değişti (a.csv)");
  EXPECT_FALSE(Motor(opts(false)).meta_kontrol("ingest_kik").first);
  EXPECT_TRUE(std::filesystem::exists(dir / ".kemora" / ".gitignore"));
}
