// Step meta records and the run decision.
#include <algorithm>

#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/motor/fingerprint_cache.hpp"
#include "kemora/motor/motor.hpp"
#include "kemora/version.hpp"
#include "kemora/common/json.hpp"

namespace kemora::motor {
namespace {

using common::Json;

// A record member that is a non-empty string; anything else counts as absent.
std::optional<std::string> present_text(const Json& rec, const char* key) {
  auto it = rec.FindMember(key);
  if (it == rec.MemberEnd() || !it->value.IsString() || it->value.GetStringLength() == 0) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

bool git_available(const Json& info) {
  auto it = info.FindMember("git_available");
  return it != info.MemberEnd() && it->value.IsBool() && it->value.GetBool();
}

}  // namespace

std::optional<common::JsonDoc> Motor::_find_prev_meta(const std::string& kod) const {
  auto seasons = work_dir_ / "seasons";
  if (!std::filesystem::exists(seasons)) return std::nullopt;
  const std::string prefix = mode_ == "test" ? "T_" : "S_";
  std::vector<std::filesystem::path> entries;
  for (const auto& e : std::filesystem::directory_iterator(seasons)) entries.push_back(e.path());
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.filename().string() > b.filename().string(); });
  for (const auto& entry : entries) {
    // This run's own season holds no earlier record. An engine that has not
    // made its folders (a plan) has no season yet: a folder of that name is a
    // run that ended earlier in the same second, and it counts.
    if (folders_made_ && entry == season_dir_) continue;
    if (!entry.filename().string().starts_with(prefix)) continue;
    auto candidate = entry / "meta" / ("adim_" + kod + ".json");
    std::error_code ec;
    if (!std::filesystem::exists(candidate, ec)) continue;
    try {
      common::JsonDoc doc = common::json_parse_file(candidate);
      if (doc.IsNull()) return std::nullopt;
      if (doc.IsObject()) return doc;
    } catch (const std::exception&) {
      // A damaged or unreadable record: try the next older season.
    }
  }
  return std::nullopt;
}

std::pair<bool, std::string> Motor::meta_kontrol(const std::string& kod) const {
  AdimKarari k = meta_karari(kod);
  return {k.calistir, std::move(k.sebep)};
}

AdimKarari Motor::meta_karari(const std::string& kod, bool tum_kaynaklar) const {
  auto prev = _find_prev_meta(kod);
  if (!prev) return {.calistir = true, .sebep = "ilk çalıştırma"};
  const Json& rec = *prev;

  // True when the recorded source file at `path` differs now; false when it
  // is unchanged or no longer exists. Throws when it cannot be read.
  auto source_changed = [&](const std::string& path, const Json& old) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return false;
    // A device or pipe standing where a recorded file was (a hand-edited
    // record may name /dev/zero) is never read: it could not end.
    if (!std::filesystem::is_regular_file(status) && !std::filesystem::is_directory(status))
      throw std::runtime_error(path + ": is not a regular file");
    return !(old.IsString() && file_fingerprint(path) == std::string_view(old.GetString(), old.GetStringLength()));
  };
  std::vector<std::pair<std::string, const Json*>> sources;
  auto src = rec.FindMember("source_hashes");
  if (src != rec.MemberEnd() && src->value.IsObject())
    for (const auto& m : src->value.GetObject())
      sources.emplace_back(std::string(m.name.GetString(), m.name.GetStringLength()), &m.value);

  AdimKarari k{.calistir = true};
  std::size_t checked = 0;  // the source files the decision itself compared
  auto mode_it = rec.FindMember("mode");
  std::string old_mode = "None";
  bool same_mode = false;
  if (mode_it != rec.MemberEnd() && !mode_it->value.IsNull()) {
    old_mode = mode_it->value.IsString() ? std::string(mode_it->value.GetString(), mode_it->value.GetStringLength())
                                         : common::json_dumps(mode_it->value);
    same_mode = mode_it->value.IsString() && old_mode == mode_;
  }
  auto nb_path = same_mode ? _nb_path(kod) : std::nullopt;
  if (!same_mode) k.sebep = "mode değişti (" + old_mode + "→" + mode_ + ")";
  if (nb_path && k.sebep.empty()) {
    std::string current = file_fingerprint(nb_path->string());
    auto previous = present_text(rec, "nb_hash");
    if (previous && current != *previous)
      k.sebep = "notebook değişti (" + common::utf8_prefix(*previous, 8) + "→" + current.substr(0, 8) + ")";
  }
  if (nb_path && k.sebep.empty() && git_available(git_info_)) {
    auto git_h = _git_hash(work_dir_.string(), nb_path->string());
    auto prev_git = present_text(rec, "git_nb_hash");
    if (git_h && !git_h->empty() && prev_git && *git_h != *prev_git) k.sebep = "git hash değişti";
  }
  if (k.sebep.empty()) {
    for (; checked < sources.size() && k.sebep.empty(); ++checked) {
      const auto& [path, old] = sources[checked];
      if (!source_changed(path, *old)) continue;
      k.sebep = "kaynak değişti (" + std::filesystem::path(path).filename().string() + ")";
      k.degisen_kaynaklar.push_back(path);
    }
  }
  if (k.sebep.empty()) {
    auto nb_hash = rec.FindMember("nb_hash");
    std::string nb8 = "?";
    if (nb_hash != rec.MemberEnd()) {
      nb8 = nb_hash->value.IsString() ? common::utf8_prefix(nb_hash->value.GetString(), 8)
                                      : common::utf8_prefix(common::json_dumps(nb_hash->value), 8);
    }
    k = {.calistir = false, .sebep = "uyumlu (" + nb8 + ")"};
  }
  if (tum_kaynaklar) {
    // Beyond what the decision compared: a file that cannot be read cannot
    // match its fingerprint, and must not stop a plan that the run would pass.
    for (; checked < sources.size(); ++checked) {
      const auto& [path, old] = sources[checked];
      bool changed = true;
      try {
        changed = source_changed(path, *old);
      } catch (const std::exception&) {
      }
      if (changed) k.degisen_kaynaklar.push_back(path);
    }
  }
  return k;
}

std::string Motor::file_fingerprint(const std::string& path) const {
  return fingerprint_cache_ ? fingerprint_cache_->fingerprint(path) : _file_hash(path);
}

common::JsonDoc Motor::meta_yaz(const std::string& kod, const std::filesystem::path& nb_path, double sure,
                                const std::optional<SourceHashes>& source_hashes, const Json* ekstra) const {
  common::JsonDoc rec(rapidjson::kObjectType);
  auto& a = rec.GetAllocator();
  auto text = [&](std::string_view s) { return common::json_string(s, a); };
  rec.AddMember("notebook", text(nb_path.filename().string()), a);
  rec.AddMember("nb_hash", text(file_fingerprint(nb_path.string())), a);
  Json git_nb(rapidjson::kNullType);
  if (git_available(git_info_)) {
    if (auto h = _git_hash(work_dir_.string(), nb_path.string())) git_nb = text(*h);
  }
  rec.AddMember("git_nb_hash", git_nb, a);
  rec.AddMember("pkg_version", text(kemora::version), a);
  rec.AddMember("season", text(season_adi_), a);
  rec.AddMember("pipeline_ts", text(ts_), a);
  rec.AddMember("mode", text(mode_), a);
  rec.AddMember("sure_saniye", Json(common::round_decimal(sure, 1)), a);
  rec.AddMember("tarih", text(iso_now()), a);
  if (source_hashes && !source_hashes->empty()) {
    Json src(rapidjson::kObjectType);
    for (const auto& [path, hash] : *source_hashes) src.AddMember(text(path), text(hash), a);
    rec.AddMember("source_hashes", src, a);
  }
  if (ekstra && ekstra->IsObject()) {
    for (const auto& m : ekstra->GetObject()) {
      auto it = rec.FindMember(m.name);
      if (it != rec.MemberEnd()) it->value.CopyFrom(m.value, a);
      else rec.AddMember(Json(m.name, a), Json(m.value, a), a);
    }
  }
  common::json_write_file(meta_dir_ / ("adim_" + kod + ".json"), rec);
  return rec;
}

}  // namespace kemora::motor
