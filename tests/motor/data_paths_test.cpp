#include "kemora/motor/data_paths.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "kemora/motor/motor.hpp"
#include "test_support.hpp"

using namespace kemora::motor;
using kemora::test::TempDir;
using kemora::test::write_text;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// A pseudo-terminal: the engine reads its answer from the terminal side while
// the test types into the other side.
class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) std::abort();
    int slave = ::open(::ptsname(master_), O_RDWR | O_NOCTTY);
    if (slave < 0) std::abort();
    terminal_ = ::fdopen(slave, "r");
  }
  ~Pty() {
    std::fclose(terminal_);
    ::close(master_);
  }
  void type(const std::string& text) { ASSERT_EQ(::write(master_, text.data(), text.size()), (ssize_t)text.size()); }
  std::FILE* terminal() const { return terminal_; }

 private:
  int master_ = -1;
  std::FILE* terminal_ = nullptr;
};

const std::string kMissing =
    "\n  [!] local_data_paths.json bulunamadı: {W}\n"
    "  Kaynak veri dizinlerini belirten bir JSON dosyası gerekli.\n"
    "  Örnek: {\"kik_data_ham_csv\": \"/mnt/z/kik\", \"kredi_db\": \"/mnt/z/kredi\", ...}\n";

std::string missing_text(const std::filesystem::path& w) {
  std::string s = kMissing;
  s.replace(s.find("{W}"), 3, w.string());
  return s;
}

}  // namespace

TEST(DataPaths, FirstFileInPrecedenceOrderIsTheOnlyOneRead) {
  TempDir dir;
  write_text(dir / "local_data_paths.json", R"({"kik_data_ham_csv": "/mnt/z/kik", "kredi_db": "/mnt/z/kredi", "statik_db": "görece/yol"})");
  write_text(dir / "data_paths.json", R"({"kik_data_ham_csv": "/other"})");
  write_text(dir / "data_paths_nt.json", "not json at all");
  CaptureStdout();
  auto paths = _load_data_paths(dir.path());
  EXPECT_EQ(GetCapturedStdout(),
            "  [CONFIG] local_data_paths.json yüklendi (3 kaynak)\n"
            "    kik_data_ham_csv: /mnt/z/kik\n"
            "    kredi_db: /mnt/z/kredi\n"
            "    statik_db: görece/yol\n");
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_EQ(resolve_data_path(paths, dir.path(), "statik_db"), "görece/yol");
  EXPECT_EQ(resolve_data_path(paths, dir.path(), "yis_train_data"), (dir / "external_data" / "yis_train_data").string());
}

TEST(DataPaths, SecondAndThirdFileAndEmptyObject) {
  TempDir dir;
  write_text(dir / "data_paths.json", R"({"a": "/x"})");
  write_text(dir / "data_paths_nt.json", R"({})");
  CaptureStdout();
  auto paths = _load_data_paths(dir.path());
  EXPECT_EQ(GetCapturedStdout(), "  [CONFIG] data_paths_nt.json yüklendi (0 kaynak)\n");
  EXPECT_TRUE(paths.empty());
  std::filesystem::remove(dir / "data_paths_nt.json");
  CaptureStdout();
  paths = _load_data_paths(dir.path());
  EXPECT_EQ(GetCapturedStdout(), "  [CONFIG] data_paths.json yüklendi (1 kaynak)\n    a: /x\n");
}

TEST(DataPaths, BadFilesAreErrorsNamingTheFile) {
  TempDir dir;
  write_text(dir / "local_data_paths.json", R"({"a": "/x",})");
  try {
    _load_data_paths(dir.path());
    FAIL();
  } catch (const std::runtime_error& e) {
    std::string msg = e.what();
    EXPECT_NE(msg.find("local_data_paths.json"), std::string::npos) << msg;
    EXPECT_NE(msg.find("byte 11"), std::string::npos) << msg;
  }
  write_text(dir / "local_data_paths.json", R"(["/x"])");
  EXPECT_THROW(_load_data_paths(dir.path()), std::runtime_error);
  std::filesystem::remove(dir / "local_data_paths.json");
  std::filesystem::create_directories(dir / "local_data_paths.json");
  EXPECT_THROW(_load_data_paths(dir.path()), std::runtime_error);
}

TEST(DataPaths, WithoutATerminalGoesOnAutomatically) {
  TempDir dir;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "h\n", 2), 2);  // never read
  ::close(fds[1]);
  std::FILE* in = ::fdopen(fds[0], "r");
  CaptureStdout();
  auto paths = _load_data_paths(dir.path(), in);
  EXPECT_EQ(GetCapturedStdout(),
            missing_text(dir.path()) + "  [AUTO] Non-interactive mod — external_data/ ile devam ediliyor\n");
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(std::fgetc(in), 'h');
  std::fclose(in);
}

TEST(DataPaths, TerminalAnswersThatGoOn) {
  for (std::string answer : {"E\n", " evet \n", "EVET\n", "e\n"}) {
    SCOPED_TRACE(answer);
    TempDir dir;
    Pty pty;
    pty.type(answer);
    CaptureStdout();
    auto paths = _load_data_paths(dir.path(), pty.terminal());
    EXPECT_EQ(GetCapturedStdout(), missing_text(dir.path()) + "\n  external_data/ ile devam edilsin mi? [e/H]: ");
    EXPECT_TRUE(paths.empty());
  }
}

TEST(DataPaths, TerminalAnswersThatStopAndNothingIsCreated) {
  for (std::string answer : {"h\n", "hayır\n", "\n", "yes\n", "\x04"}) {
    SCOPED_TRACE(answer);
    TempDir dir;
    Pty pty;
    pty.type(answer);
    CaptureStdout();
    try {
      Motor m({.work_dir = dir.path().string(), .input = pty.terminal()});
      GetCapturedStdout();
      FAIL() << "did not stop";
    } catch (const PipelineStopped& e) {
      GetCapturedStdout();
      EXPECT_STREQ(e.what(), "Pipeline durduruldu — local_data_paths.json oluşturun.");
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "seasons"));
    EXPECT_FALSE(std::filesystem::exists(dir / "outputs"));
  }
}

TEST(DataPaths, AGivenMapSuppressesLoading) {
  TempDir dir;
  write_text(dir / "local_data_paths.json", "broken");
  CaptureStdout();
  Motor m({.work_dir = dir.path().string(), .data_paths = DataPaths{{"kredi_db", "/k"}}});
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(m._resolve("kredi_db"), "/k");
  EXPECT_EQ(m._resolve("statik_db"), (dir / "external_data" / "statik_db").string());
}

TEST(DataPaths, ConsoleSinkGetsTheQuestionAsStandardOutputDoes) {
  // "e\n" goes on after the prompt; at end of input ("\x04") a newline
  // finishes the prompt line and the run stops.
  for (std::string answer : {"e\n", "\x04"}) {
    SCOPED_TRACE(answer);
    TempDir plain_dir, sink_dir;
    std::string printed;
    {
      Pty pty;
      pty.type(answer);
      CaptureStdout();
      try {
        _load_data_paths(plain_dir.path(), pty.terminal());
      } catch (const PipelineStopped&) {
      }
      printed = GetCapturedStdout();
    }
    std::vector<std::string> lines;
    bool stopped = false;
    {
      Pty pty;
      pty.type(answer);
      CaptureStdout();
      try {
        _load_data_paths(sink_dir.path(), pty.terminal(), [&](std::string_view l) { lines.emplace_back(l); });
      } catch (const PipelineStopped&) {
        stopped = true;
      }
      EXPECT_EQ(GetCapturedStdout(), "");
    }
    std::string received;
    for (const auto& l : lines) received += l;
    std::string expected = printed;
    for (auto p = expected.find(plain_dir.path().string()); p != std::string::npos; p = expected.find(plain_dir.path().string()))
      expected.replace(p, plain_dir.path().string().size(), sink_dir.path().string());
    EXPECT_EQ(received, expected);
    EXPECT_EQ(stopped, answer == "\x04");
    // The prompt is the one piece without a newline; a lone "\n" ends it at end of input.
    const std::vector<std::string> tail = stopped ? std::vector<std::string>{"  external_data/ ile devam edilsin mi? [e/H]: ", "\n"}
                                                  : std::vector<std::string>{"  external_data/ ile devam edilsin mi? [e/H]: "};
    ASSERT_GE(lines.size(), tail.size() + 1);
    EXPECT_EQ(std::vector<std::string>(lines.end() - tail.size(), lines.end()), tail);
    EXPECT_EQ(lines.at(lines.size() - tail.size() - 1), "\n");
  }
}
