#include "kemora/motor/executor.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/common/process.hpp"

namespace kemora::motor {
namespace {

namespace fs = std::filesystem;
using common::Json;
using common::JsonDoc;

std::string read_text(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void write_text(const fs::path& p, const std::string& text) {
  std::ofstream f(p, std::ios::binary);
  f << text;
}

/// A notebook (format 4.5, python3 kernel) of code cells; a cell whose tag is
/// not empty gets that tag.
std::string notebook(const std::vector<std::pair<std::string, std::string>>& cells) {
  JsonDoc nb(rapidjson::kObjectType);
  auto& a = nb.GetAllocator();
  Json list(rapidjson::kArrayType);
  int n = 0;
  for (const auto& [tag, source] : cells) {
    Json cell(rapidjson::kObjectType);
    cell.AddMember("cell_type", "code", a);
    cell.AddMember("execution_count", Json(), a);
    cell.AddMember("id", common::json_string("c" + std::to_string(++n), a), a);
    Json meta(rapidjson::kObjectType);
    if (!tag.empty()) {
      Json tags(rapidjson::kArrayType);
      tags.PushBack(common::json_string(tag, a), a);
      meta.AddMember("tags", tags, a);
    }
    cell.AddMember("metadata", meta, a);
    cell.AddMember("outputs", Json(rapidjson::kArrayType), a);
    cell.AddMember("source", common::json_string(source, a), a);
    list.PushBack(cell, a);
  }
  nb.AddMember("cells", list, a);
  Json meta(rapidjson::kObjectType), spec(rapidjson::kObjectType);
  spec.AddMember("display_name", "Python 3", a);
  spec.AddMember("language", "python", a);
  spec.AddMember("name", "python3", a);
  meta.AddMember("kernelspec", spec, a);
  nb.AddMember("metadata", meta, a);
  nb.AddMember("nbformat", 4, a);
  nb.AddMember("nbformat_minor", 5, a);
  return common::json_dumps(nb);
}

/// Sets PATH for one test and puts the old value back.
class PathOverride {
 public:
  explicit PathOverride(const std::string& path) {
    if (const char* old = std::getenv("PATH")) old_ = old;
    ::setenv("PATH", path.c_str(), 1);
  }
  ~PathOverride() {
    if (old_) ::setenv("PATH", old_->c_str(), 1);
    else ::unsetenv("PATH");
  }

 private:
  std::optional<std::string> old_;
};

class ExecutorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("kemora_executor_" + std::string(info->name()) + "_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "work");
    fs::create_directories(dir_ / "logs");
    dir_ = fs::canonical(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

/// The runner with a real kernel, whatever else the machine has.
DefaultExecutor bundled_runner() { return DefaultExecutor({.use_papermill = false}); }

TEST_F(ExecutorTest, BundledRunnerPassesEveryParameterWithItsTypeAndRunsInCwd) {
  const fs::path input = dir_ / "nb_params.ipynb";
  write_text(input, notebook({
                        {"parameters", "DB_PATH = None\nTEST_MUTA_COUNT = None\n"},
                        {"",
                         "import json, os\n"
                         "names = ['DB_PATH', 'OUTPUT_DIR', 'TEST_MUTA_COUNT', 'RATIO', 'FORCE', 'NOTHING',\n"
                         "         'REFERANS_TARIH_LIST', 'LABEL']\n"
                         "got = {n: [globals()[n], type(globals()[n]).__name__] for n in names}\n"
                         "got['cwd'] = os.getcwd()\n"
                         "json.dump(got, open('received.json', 'w'))\n"},
                    }));
  JsonDoc params;
  params.Parse(R"({"DB_PATH":"/data/db/kemora.duckdb","OUTPUT_DIR":"/data/outputs/json",)"
               R"("TEST_MUTA_COUNT":25,"RATIO":0.5,"FORCE":true,"NOTHING":null,)"
               R"("REFERANS_TARIH_LIST":["2024-03-31","2024-06-30"],"LABEL":"Şube \"A\"\n"})");
  ASSERT_FALSE(params.HasParseError());
  const fs::path output = dir_ / "logs" / "adim_x_nb_params.ipynb";

  auto executor = bundled_runner();
  ASSERT_NO_THROW(executor.execute(input, output, params, dir_ / "work"));

  // What the notebook received, written into its working directory.
  auto got = common::json_parse_file(dir_ / "work" / "received.json");
  auto expect = [&](const char* name, const char* type) {
    ASSERT_TRUE(got.HasMember(name)) << name;
    EXPECT_EQ(std::string(got[name][1].GetString()), type) << name;
    EXPECT_EQ(common::json_dumps(got[name][0]), common::json_dumps(params[name])) << name;
  };
  expect("DB_PATH", "str");
  expect("OUTPUT_DIR", "str");
  expect("TEST_MUTA_COUNT", "int");
  expect("RATIO", "float");
  expect("FORCE", "bool");
  expect("NOTHING", "NoneType");
  expect("REFERANS_TARIH_LIST", "list");
  expect("LABEL", "str");
  EXPECT_EQ(fs::path(got["cwd"].GetString()), dir_ / "work");

  // The executed copy: the injected cell right after the parameters cell.
  auto nb = common::json_parse_file(output);
  const auto& cells = nb["cells"];
  ASSERT_EQ(cells.Size(), 3u);
  EXPECT_EQ(std::string(cells[0]["metadata"]["tags"][0].GetString()), "parameters");
  EXPECT_EQ(std::string(cells[1]["metadata"]["tags"][0].GetString()), "injected-parameters");
  std::string injected;
  if (cells[1]["source"].IsArray())
    for (const auto& line : cells[1]["source"].GetArray()) injected += line.GetString();
  else
    injected = cells[1]["source"].GetString();
  EXPECT_NE(injected.find("TEST_MUTA_COUNT = 25\n"), std::string::npos) << injected;
  EXPECT_NE(injected.find("FORCE = True\n"), std::string::npos) << injected;
  EXPECT_NE(injected.find("NOTHING = None\n"), std::string::npos) << injected;
  EXPECT_TRUE(cells[2]["execution_count"].IsInt());  // it ran
  EXPECT_FALSE(fs::exists(dir_ / "received.json"));
}

TEST_F(ExecutorTest, FailingCellGivesItsOneLineMessageAndTheCopyIsStillWritten) {
  const fs::path input = dir_ / "nb_boom.ipynb";
  write_text(input, notebook({{"", "x = 1"}, {"", "raise ValueError(\"boom\")"}, {"", "y = 2"}}));
  const fs::path output = dir_ / "logs" / "adim_x_nb_boom.ipynb";
  JsonDoc params(rapidjson::kObjectType);
  params.AddMember("DB_PATH", "/data/db", params.GetAllocator());

  auto executor = bundled_runner();
  try {
    executor.execute(input, output, params, dir_ / "work");
    FAIL() << "no error";
  } catch (const ExecutorError& e) {
    const std::string what = e.what();
    EXPECT_TRUE(what.ends_with("ValueError: boom")) << what;
    EXPECT_EQ(what.find('\n'), std::string::npos) << what;
  }
  ASSERT_TRUE(fs::exists(output));
  auto nb = common::json_parse_file(output);
  ASSERT_EQ(nb["cells"].Size(), 4u);  // injected cell first: there is no parameters cell
  EXPECT_EQ(std::string(nb["cells"][0]["metadata"]["tags"][0].GetString()), "injected-parameters");
  EXPECT_EQ(std::string(nb["cells"][2]["outputs"][0]["ename"].GetString()), "ValueError");

  // A notebook that cannot be read fails with a message naming it.
  try {
    executor.execute(dir_ / "missing.ipynb", output, params, dir_ / "work");
    FAIL() << "no error";
  } catch (const ExecutorError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.ipynb"), std::string::npos) << e.what();
  }
}

/// A stand-in `papermill` that records its arguments one per line, then
/// behaves as `behaviour` says.
fs::path fake_papermill(const fs::path& bin, const std::string& behaviour) {
  fs::create_directories(bin);
  const fs::path script = bin / "papermill";
  write_text(script,
             "#!/bin/sh\n"
             "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$(dirname \"$0\")/argv.txt\"\n" +
                 behaviour + "\n");
  fs::permissions(script, fs::perms::owner_all);
  return script;
}

TEST_F(ExecutorTest, PapermillOnPathIsCalledWithExactlyTheseArguments) {
  const fs::path bin = dir_ / "bin";
  fake_papermill(bin, "printf '{}' > \"$2\"");
  PathOverride path(bin.string() + ":" + std::getenv("PATH"));

  JsonDoc params;
  params.Parse(R"({"WORK_DIR":"/ws","TEST_MUTA_COUNT":25,"A_FLAG":true,"NOTHING":null,"LABEL":"Şube"})");
  DefaultExecutor executor;
  ASSERT_NE(dynamic_cast<PapermillExecutor*>(executor.resolved().get()), nullptr);
  const fs::path output = dir_ / "logs" / "out.ipynb";
  executor.execute(dir_ / "in.ipynb", output, params, dir_ / "work");

  const std::string expected = (dir_ / "in.ipynb").string() + "\n" + output.string() + "\n--cwd\n" +
                               (dir_ / "work").string() + "\n-y\n" +
                               R"({"WORK_DIR":"/ws","TEST_MUTA_COUNT":25,"A_FLAG":true,"NOTHING":null,"LABEL":"Şube"})" +
                               "\n";
  EXPECT_EQ(read_text(bin / "argv.txt"), expected);
}

TEST_F(ExecutorTest, FailedCommandGivesTheLastLineOfItsStandardError) {
  const fs::path bin = dir_ / "bin";
  const fs::path output = dir_ / "out.ipynb";
  const JsonDoc params(rapidjson::kObjectType);
  PathOverride path(bin.string() + ":" + std::getenv("PATH"));

  auto error_of = [&](const std::string& behaviour) -> std::string {
    fake_papermill(bin, behaviour);
    try {
      PapermillExecutor(bin / "papermill").execute(dir_ / "in.ipynb", output, params, dir_ / "work");
    } catch (const ExecutorError& e) {
      return e.what();
    }
    return "(no error)";
  };
  // Colour codes, progress rewritten with carriage returns, trailing blank lines.
  EXPECT_EQ(error_of("printf 'Executing: 50%%\\rExecuting: 100%%\\nTraceback\\n"
                     "\\033[0;31mValueError\\033[0m: boom\\n\\n  \\n' >&2; exit 1"),
            "ValueError: boom");
  EXPECT_EQ(error_of("echo 'only on stdout'; exit 3"), "notebook executor exited with status 3");
  EXPECT_EQ(error_of("exit 0"), "notebook executor did not write the executed copy " + output.string());
}

TEST_F(ExecutorTest, WithoutAnyExecutorTheMessageSaysHowToInstallOne) {
  PathOverride path((dir_ / "empty").string());  // no papermill there
  const JsonDoc params(rapidjson::kObjectType);

  DefaultExecutor none({.pythons = {"/nonexistent/bin/python3"}});
  try {
    none.execute(dir_ / "in.ipynb", dir_ / "out.ipynb", params, dir_ / "work");
    FAIL() << "no error";
  } catch (const ExecutorError& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("apt-get install python3-nbclient python3-nbformat python3-ipykernel"), std::string::npos)
        << what;
    EXPECT_NE(what.find("papermill on PATH"), std::string::npos) << what;
  }

  // A usable interpreter but no runner script: the message names the script.
  DefaultExecutor no_runner({.pythons = {"/usr/bin/python3"}, .runner = dir_ / "gone" / "runner.py"});
  try {
    no_runner.execute(dir_ / "in.ipynb", dir_ / "out.ipynb", params, dir_ / "work");
    FAIL() << "no error";
  } catch (const ExecutorError& e) {
    EXPECT_NE(std::string(e.what()).find((dir_ / "gone" / "runner.py").string()), std::string::npos) << e.what();
  }
}

/// Kernel processes (ipykernel_launcher, not zombies) whose working directory
/// is `cwd`.
std::vector<int> kernels_in(const fs::path& cwd) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string cmdline = read_text(entry.path() / "cmdline");
    if (cmdline.find("ipykernel_launcher") == std::string::npos) continue;
    std::error_code ec;
    if (fs::read_symlink(entry.path() / "cwd", ec) != cwd || ec) continue;
    std::string stat = read_text(entry.path() / "stat");
    auto close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') continue;
    found.push_back(std::stoi(name));
  }
  return found;
}

TEST_F(ExecutorTest, InterruptStopsTheRunAndLeavesNoKernelBehind) {
  const fs::path input = dir_ / "nb_sleep.ipynb";
  write_text(input, notebook({{"", "import pathlib, time\npathlib.Path('started').touch()\ntime.sleep(60)"}}));
  const fs::path work = dir_ / "work";
  const JsonDoc params(rapidjson::kObjectType);
  // Orphans are handed to us, not to init: a kernel left behind by its runner
  // then stays alive (it only stops by itself when its parent becomes init),
  // as it would under a session manager.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);

  // Once the cell runs, its kernel is seen, then Ctrl-C arrives.
  std::vector<int> kernels_before;
  std::thread interrupter([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(work / "started")) {
      if (std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kernels_before = kernels_in(work);
    ::kill(::getpid(), SIGINT);
  });
  auto executor = bundled_runner();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(executor.execute(input, dir_ / "logs" / "out.ipynb", params, work), common::ProcessInterrupted);
  interrupter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(50));  // not the cell's 60 s
  EXPECT_EQ(kernels_before.size(), 1u);  // the check below looks at the right processes
  const auto left = kernels_in(work);
  EXPECT_TRUE(left.empty());
  for (int pid : left) ::kill(pid, SIGKILL);
  while (::waitpid(-1, nullptr, left.empty() ? WNOHANG : 0) > 0) {
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
}  // namespace kemora::motor
