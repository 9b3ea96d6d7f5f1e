#include "kemora/motor/data_paths.hpp"

#include <unistd.h>

#include "kemora/common/json.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/console.hpp"
#include "kemora/console.hpp"

namespace kemora::motor {
namespace {

// Configuration values are expected to be strings; anything else is kept in
// its JSON text form.
std::string value_text(const common::Json& v) {
  if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
  return common::json_dumps(v);
}

std::optional<std::string> read_answer(std::FILE* input) {
  std::string line;
  int c;
  bool any = false;
  while ((c = std::fgetc(input)) != EOF) {
    any = true;
    if (c == '\n') return line;
    line += static_cast<char>(c);
  }
  if (!any) return std::nullopt;
  return line;
}

}  // namespace

DataPaths _load_data_paths(const std::filesystem::path& work_dir, std::FILE* input, const ConsoleSink& console) {
  return _load_data_paths(work_dir,
                          AnswerSource{.is_terminal = [input] { return ::isatty(::fileno(input)) != 0; },
                                       .read_line = [input] { return read_answer(input); }},
                          console);
}

DataPaths _load_data_paths(const std::filesystem::path& work_dir, const AnswerSource& input,
                           const ConsoleSink& console) {
  for (const char* name : kDataPathFiles) {
    auto path = work_dir / name;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    common::JsonDoc doc = common::json_parse_file(path);
    if (!doc.IsObject())
      throw std::runtime_error(path.string() + ": must hold a JSON object (data-source key -> folder)");
    DataPaths paths;
    for (const auto& m : doc.GetObject())
      paths.emplace_back(std::string(m.name.GetString(), m.name.GetStringLength()), value_text(m.value));
    say(console, std::string("  [CONFIG] ") + name + " yüklendi (" + std::to_string(paths.size()) + " kaynak)");
    for (const auto& [key, value] : paths) say(console, "    " + key + ": " + value);
    return paths;
  }

  say(console, "\n  [!] local_data_paths.json bulunamadı: " + work_dir.string());
  say(console, "  Kaynak veri dizinlerini belirten bir JSON dosyası gerekli.");
  say(console, "  Örnek: {\"kik_data_ham_csv\": \"/mnt/z/kik\", \"kredi_db\": \"/mnt/z/kredi\", ...}");
  if (!input.is_terminal()) {
    say(console, "  [AUTO] Non-interactive mod — external_data/ ile devam ediliyor");
    return {};
  }
  console_write(console, "\n  external_data/ ile devam edilsin mi? [e/H]: ");
  auto answer = input.read_line();
  if (!answer) console_write(console, "\n");  // end of input: finish the prompt line
  std::string a = answer ? common::utf8_lower(common::trim(*answer)) : std::string();
  if (a == "e" || a == "evet") return {};
  throw PipelineStopped();
}

std::string resolve_data_path(const DataPaths& paths, const std::filesystem::path& work_dir, const std::string& key) {
  for (const auto& [k, v] : paths)
    if (k == key) return v;
  return (work_dir / "external_data" / key).string();
}

}  // namespace kemora::motor
