#pragma once
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "kemora/common/json.hpp"
#include "kemora/pipeline/panogen/region_maps.hpp"

/// The pieces the region and branch maps are built from: the reference
/// names, the table of codes met in the rows, and the build from code ids.
namespace kemora::pipeline::panogen {

/// Names from the reference file "sube_bolge_ref.csv", by the text form of
/// the code. A name is std::nullopt when its line was too short to hold it.
struct RefNames {
  std::unordered_map<std::string, std::optional<std::string>> bolge;
  std::unordered_map<std::string, std::optional<std::string>> sube;
};

/// Reads the reference file: header line, double-quote quoting, blank lines
/// skipped, a byte-order mark kept as part of the first column name, values
/// untrimmed, the first line of a code deciding its name. An empty path or a
/// path where nothing exists gives empty tables. Throws std::runtime_error
/// naming the file when it exists but cannot be read as UTF-8 text.
RefNames read_ref_csv(const std::string& path);

/// The distinct codes of one kind (region or branch) met in the rows, each
/// numbered once in order of first appearance. Codes are compared by type and
/// text (see code_key).
class CodeTable {
 public:
  CodeTable();
  /// The id of the code `v`; -1 for null. Throws std::runtime_error for a
  /// list or a map.
  int intern(const Json& v);
  std::size_t size() const { return keys_.size(); }
  const std::string& key(int id) const { return keys_[static_cast<std::size_t>(id)]; }
  /// The code exactly as stored in the row.
  const Json& value(int id) const { return values_[static_cast<rapidjson::SizeType>(id)]; }

 private:
  JsonDoc values_;  // array of the codes, copied
  std::unordered_map<std::string, int> ids_;
  std::vector<std::string> keys_;
  std::string scratch_;  // the key being looked up
};

/// Builds the lists and maps from the region and branch code ids of the rows,
/// in row order (-1: the row has no such code), with names from `ref`.
BolgeSubeMaps build_bolge_sube_maps(const CodeTable& bolge_codes, std::span<const int> bolge_ids,
                                    const CodeTable& sube_codes, std::span<const int> sube_ids,
                                    const RefNames& ref);

}  // namespace kemora::pipeline::panogen
