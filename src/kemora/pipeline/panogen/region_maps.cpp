#include "kemora/pipeline/panogen/code_table.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"

#include <csv.h>

#include <charconv>
#include <filesystem>
#include <stdexcept>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/json.hpp"
#include "kemora/common/text.hpp"

namespace kemora::pipeline::panogen {
namespace {

/// Lines of a CSV text as lists of fields, blank lines left out.
struct CsvLines {
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> current;
  std::string field;
};

std::vector<std::vector<std::string>> parse_csv(const std::string& text, const std::string& path) {
  csv_parser parser;
  if (csv_init(&parser, 0) != 0) throw std::runtime_error(path + ": cannot start the CSV reader");
  // Values are used exactly as they stand: no blank is trimmed.
  csv_set_space_func(&parser, [](unsigned char) { return 0; });
  CsvLines out;
  auto on_field = [](void* data, std::size_t len, void* ctx) {
    auto* lines = static_cast<CsvLines*>(ctx);
    lines->current.emplace_back(static_cast<const char*>(data), len);
  };
  auto on_line = [](int, void* ctx) {
    auto* lines = static_cast<CsvLines*>(ctx);
    lines->lines.push_back(std::move(lines->current));
    lines->current.clear();
  };
  bool ok = csv_parse(&parser, text.data(), text.size(), on_field, on_line, &out) == text.size() &&
            csv_fini(&parser, on_field, on_line, &out) == 0;
  std::string error = ok ? "" : csv_strerror(csv_error(&parser));
  csv_free(&parser);
  if (!ok) throw std::runtime_error(path + ": cannot read as CSV: " + error);
  return std::move(out.lines);
}

}  // namespace

RefNames read_ref_csv(const std::string& path) {
  RefNames ref;
  if (path.empty()) return ref;
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return ref;
  std::string text = common::read_file(path);
  if (auto bad = common::utf8_invalid_at(text))
    throw std::runtime_error(path + ": not UTF-8 text (invalid byte at offset " + std::to_string(*bad) + ")");
  auto lines = parse_csv(text, path);
  if (lines.empty()) return ref;
  // Columns by name; a name repeated in the header means its last column.
  const auto& header = lines.front();
  auto column = [&](std::string_view name) {
    int found = -1;
    for (std::size_t i = 0; i < header.size(); ++i)
      if (header[i] == name) found = static_cast<int>(i);
    return found;
  };
  const int bolge_kodu = column("bolge_kodu"), bolge_adi = column("bolge_adi");
  const int sube_kodu = column("sube_kodu"), sube_adi = column("sube_adi");
  auto value = [](const std::vector<std::string>& line, int col) -> const std::string* {
    if (col < 0 || static_cast<std::size_t>(col) >= line.size()) return nullptr;
    return &line[static_cast<std::size_t>(col)];
  };
  auto enter = [&](auto& table, const std::vector<std::string>& line, int code_col, int name_col) {
    const std::string* code = value(line, code_col);
    if (code == nullptr || code->empty() || table.count(*code)) return;
    // A missing column reads as an empty name; a line too short for it, as no name.
    std::optional<std::string> name;
    if (name_col < 0) name = "";
    else if (const std::string* n = value(line, name_col)) name = *n;
    table.emplace(*code, std::move(name));
  };
  for (std::size_t i = 1; i < lines.size(); ++i) {
    enter(ref.bolge, lines[i], bolge_kodu, bolge_adi);
    enter(ref.sube, lines[i], sube_kodu, sube_adi);
  }
  return ref;
}

CodeTable::CodeTable() { values_.SetArray(); }

int CodeTable::intern(const Json& v) {
  // Texts and integers, the usual codes, build their key in a reused buffer
  // (the same key as code_key gives) and allocate only for a new code.
  if (v.IsString()) {
    scratch_.assign(1, 's');
    scratch_.append(v.GetString(), v.GetStringLength());
  } else if (v.IsInt64()) {
    char digits[24];
    auto r = std::to_chars(digits, digits + sizeof digits, v.GetInt64());
    scratch_.assign(1, 'i');
    scratch_.append(digits, static_cast<std::size_t>(r.ptr - digits));
  } else {
    auto key = code_key(v);
    if (!key) return -1;
    scratch_ = std::move(*key);
  }
  auto it = ids_.find(scratch_);
  if (it != ids_.end()) return it->second;
  const int id = static_cast<int>(keys_.size());
  ids_.emplace(scratch_, id);
  keys_.push_back(scratch_);
  // A string is copied explicitly: the caller's value may only refer to its text.
  auto& alloc = values_.GetAllocator();
  values_.PushBack(v.IsString() ? Json(v.GetString(), v.GetStringLength(), alloc) : Json(v, alloc), alloc);
  return id;
}

BolgeSubeMaps build_bolge_sube_maps(const CodeTable& bolge_codes, std::span<const int> bolge_ids,
                                    const CodeTable& sube_codes, std::span<const int> sube_ids,
                                    const RefNames& ref) {
  BolgeSubeMaps maps;
  maps.bolge_position.assign(bolge_codes.size(), -1);
  maps.sube_position.assign(sube_codes.size(), -1);
  auto& bolge_list = maps.BOLGE_LIST.SetArray();
  auto& sube_list = maps.SUBE_LIST.SetArray();
  auto& balloc = maps.BOLGE_LIST.GetAllocator();
  auto& salloc = maps.SUBE_LIST.GetAllocator();

  int regions = 0;
  for (int id : bolge_ids) {
    if (id < 0 || maps.bolge_position[static_cast<std::size_t>(id)] >= 0) continue;
    maps.bolge_position[static_cast<std::size_t>(id)] = regions;
    const std::string& key = bolge_codes.key(id);
    std::string text = key.substr(1);  // the key is a type tag and the text form
    auto it = ref.bolge.find(text);
    std::string name = it != ref.bolge.end() && it->second ? *it->second : std::string();
    if (name.empty()) name = "Bölge " + text;
    Json record(rapidjson::kObjectType);
    record.AddMember("kodu", Json(bolge_codes.value(id), balloc), balloc);
    record.AddMember("adi", common::json_string(name, balloc), balloc);
    bolge_list.PushBack(record, balloc);
    maps.BOLGE_MAP.emplace(key, regions++);
  }

  int branches = 0;
  for (std::size_t row = 0; row < sube_ids.size(); ++row) {
    int id = sube_ids[row];
    if (id < 0 || maps.sube_position[static_cast<std::size_t>(id)] >= 0) continue;
    maps.sube_position[static_cast<std::size_t>(id)] = branches;
    const std::string& key = sube_codes.key(id);
    std::string text = key.substr(1);
    Json adi;  // null when the reference line had no name column value
    if (auto it = ref.sube.find(text); it != ref.sube.end()) {
      if (it->second) adi = common::json_string(*it->second, salloc);
    } else {
      adi = common::json_string("Şube " + text, salloc);
    }
    int region = row < bolge_ids.size() ? bolge_ids[row] : -1;
    Json record(rapidjson::kObjectType);
    record.AddMember("kodu", Json(sube_codes.value(id), salloc), salloc);
    record.AddMember("adi", adi, salloc);
    record.AddMember("bolge_idx", region < 0 ? -1 : maps.bolge_position[static_cast<std::size_t>(region)], salloc);
    sube_list.PushBack(record, salloc);
    maps.SUBE_MAP.emplace(key, branches++);
  }
  return maps;
}

BolgeSubeMaps _build_bolge_sube_maps(const Json& all_rows, const std::optional<std::string>& ref_csv_path) {
  if (!all_rows.IsArray()) throw std::runtime_error("the rows must be a list");
  CodeTable bolge_codes, sube_codes;
  std::vector<int> bolge_ids, sube_ids;
  rapidjson::SizeType index = 0;
  for (const auto& row : all_rows.GetArray()) {
    if (!row.IsObject()) throw std::runtime_error("row " + std::to_string(index) + " is not a map");
    const Json* bolge = nullptr;
    const Json* sube = nullptr;
    for (const auto& m : row.GetObject()) {  // a repeated member counts with its last value
      std::string_view name(m.name.GetString(), m.name.GetStringLength());
      if (name == "bolge_kodu") bolge = &m.value;
      else if (name == "sube_kodu") sube = &m.value;
    }
    try {
      bolge_ids.push_back(bolge ? bolge_codes.intern(*bolge) : -1);
      sube_ids.push_back(sube ? sube_codes.intern(*sube) : -1);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error("row " + std::to_string(index) + ": " + e.what());
    }
    ++index;
  }
  return build_bolge_sube_maps(bolge_codes, bolge_ids, sube_codes, sube_ids,
                               read_ref_csv(ref_csv_path.value_or("")));
}

}  // namespace kemora::pipeline::panogen
