#pragma once
// A workspace of tiny notebooks and a notebook executor that records its
// calls instead of starting Python, for tests of the engine.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>

#include "kemora/motor/motor.hpp"
#include "test_support.hpp"
#include "kemora/common/json.hpp"

namespace kemora::test {

class FakeExecutor : public motor::NotebookExecutor {
 public:
  struct Call {
    std::string kod;  // from the output name adim_<kod>_<notebook>
    std::filesystem::path input, output, cwd;
    std::string params;  // compact JSON
  };
  std::vector<Call> calls;
  std::map<std::string, std::string> fail;  // step code -> error text

  void execute(const std::filesystem::path& input, const std::filesystem::path& output,
               const common::Json& parameters, const std::filesystem::path& cwd) override {
    std::string name = output.filename().string();
    std::string kod;
    for (const auto& r : motor::ADIM_REGISTRY)
      if (name == "adim_" + std::string(r.kod) + "_" + std::string(r.nb)) kod = r.kod;
    calls.push_back({kod, input, output, cwd, common::json_dumps(parameters)});
    write_text(output, read_text(input));
    if (auto it = fail.find(kod); it != fail.end()) throw motor::ExecutorError(it->second);
  }

  std::vector<std::string> codes() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.kod);
    return out;
  }
  const Call* find(const std::string& kod) const {
    for (const auto& c : calls)
      if (c.kod == kod) return &c;
    return nullptr;
  }
};

/// A working directory holding every registry notebook (distinct content per
/// file) and a folder of source files for every data-source key.
inline void make_workspace(const std::filesystem::path& dir) {
  std::set<std::string> written;
  for (const auto& r : motor::ADIM_REGISTRY) {
    std::string nb(r.nb);
    if (written.insert(nb).second)
      write_text(dir / nb, "{\"cells\": [], \"metadata\": {}, \"nbformat\": 4, \"nbformat_minor\": 5, \"name\": \"" +
                               nb + "\"}");
  }
  for (const char* key : {"kik_data_ham_csv", "kredi_db", "yis_tahmin_data", "eus_tahmin_data", "eus_hedef_muta",
                          "eus_sql_kapsam_muta", "statik_db", "yis_train_data", "rkd_donem_data",
                          "memzuc_data_donem"}) {
    write_text(dir / "external_data" / key / "a.csv", std::string("muta,deger\n1,") + key + "\n");
    write_text(dir / "external_data" / key / "b.txt", "ikinci dosya\n");
  }
}

/// Renames the season folder of `m` to an older name, so that the next engine
/// constructed in the same second sees it as an earlier season.
inline std::filesystem::path age_season(const motor::Motor& m, const std::string& older_ts) {
  std::string name = m.season_adi();
  name.replace(2, 15, older_ts);
  auto to = m.season_dir().parent_path() / name;
  std::filesystem::rename(m.season_dir(), to);
  return to;
}

/// Replaces run-dependent parts of console text: durations, season names,
/// absolute paths.
inline std::string normalise_console(std::string text, const std::filesystem::path& work_dir) {
  auto replace_all = [&](const std::string& from, const std::string& to) {
    for (std::size_t p = text.find(from); p != std::string::npos; p = text.find(from, p + to.size()))
      text.replace(p, from.size(), to);
  };
  replace_all(work_dir.string(), "<WORK>");
  text = std::regex_replace(text, std::regex(R"([ST]_\d{8}_\d{6}_)"), "S_<TS>_");
  text = std::regex_replace(text, std::regex(R"(manifest_\d{8}_\d{6})"), "manifest_<TS>");
  text = std::regex_replace(text, std::regex(R"(OK \d+s)"), "OK <T>");
  text = std::regex_replace(text, std::regex(R"(Süre: \d+\.\d+dk)"), "Süre: <T>dk");
  text = std::regex_replace(text, std::regex(R"(( +)(\d+s)(  \[))"), "$1<T>$3");
  return text;
}

inline motor::MotorOptions quiet_options(const std::filesystem::path& dir, std::shared_ptr<FakeExecutor> exec) {
  return {.work_dir = dir.string(), .data_paths = motor::DataPaths{{"unused", "x"}}, .executor = std::move(exec)};
}

}  // namespace kemora::test
