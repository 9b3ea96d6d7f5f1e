#include "kemora/pipeline/panogen/trending.hpp"

#include <stdexcept>
#include <string_view>

#include "kemora/common/atomic_file.hpp"
#include "kemora/common/numfmt.hpp"
#include "kemora/common/text.hpp"
#include "kemora/pipeline/panogen/row_encoder.hpp"
#include "kemora/common/json.hpp"

namespace kemora::pipeline::panogen {
namespace {

struct Section {
  std::string_view key, title, description, colour;
};

constexpr Section kSections[] = {
    {"fastest_rising", "En Hizli Yükselenler", "Son 3 dönemde en çok artan KMR skorları", "#e74c3c"},
    {"regime_change", "Rejim Degisimi", "EUS bandından YIS bandına geçen firmalar", "#e67e22"},
    {"persistent_high", "Kalici Yüksek Risk", "Uzun süredir yüksek KMR skoru taşıyan firmalar", "#c0392b"},
    {"low_but_rising", "Düsük ama Yükselen", "Düşük skorlu ama hızla yükselen firmalar", "#f39c12"},
};

constexpr std::string_view kOpening =
    "\n"
    "    <div id=\"kmr-trending-section\" style=\"\n"
    "        margin:20px auto;max-width:1400px;padding:20px;\n"
    "        font-family:-apple-system,BlinkMacSystemFont,'Segoe UI',Roboto,sans-serif;\n"
    "        background:#fff;border:1px solid #e0e0e0;border-radius:8px;\n"
    "        box-shadow:0 1px 3px rgba(0,0,0,0.08)\">\n"
    "      <div style=\"display:flex;justify-content:space-between;align-items:center;margin-bottom:16px;\n"
    "                  border-bottom:2px solid #2c3e50;padding-bottom:12px\">\n"
    "        <h2 style=\"margin:0;font-size:20px;color:#2c3e50\">Trending Listeler</h2>\n"
    "        <button onclick=\"document.getElementById('kmr-trending-cards').style.display=\n"
    "          document.getElementById('kmr-trending-cards').style.display==='none'?'block':'none'\"\n"
    "          style=\"padding:6px 16px;border:1px solid #ccc;border-radius:4px;background:#f8f9fa;\n"
    "                 cursor:pointer;font-size:13px\">Gizle/Göster</button>\n"
    "      </div>\n"
    "      <div id=\"kmr-trending-cards\">\n"
    "        ";

constexpr std::string_view kClosing =
    "\n"
    "      </div>\n"
    "    </div>";

/// Python's repr of a JSON value (for lists and maps shown in a cell).
void append_repr(std::string& out, const common::Json& v) {
  if (v.IsString()) {
    common::append_py_str_repr(out, std::string_view(v.GetString(), v.GetStringLength()),
                               common::ReprEscapes::BreaksOnly);
  } else if (v.IsArray()) {
    out += '[';
    for (rapidjson::SizeType i = 0; i < v.Size(); ++i) {
      if (i) out += ", ";
      append_repr(out, v[i]);
    }
    out += ']';
  } else if (v.IsObject()) {
    out += '{';
    bool first = true;
    for (const auto& m : v.GetObject()) {
      if (!first) out += ", ";
      first = false;
      append_repr(out, m.name);
      out += ": ";
      append_repr(out, m.value);
    }
    out += '}';
  } else {
    out += text_form(v);
  }
}

/// Python's str() of a value, HTML-escaped.
void append_cell(std::string& out, const common::Json& v) {
  std::string text;
  if (v.IsArray() || v.IsObject()) append_repr(text, v);
  else text = text_form(v);
  common::append_html_escaped(out, text, common::HtmlQuotes::Named);
}

const common::Json* member(const common::Json& record, std::string_view name) {
  auto it = record.FindMember(common::Json(rapidjson::StringRef(name.data(), name.size())));
  return it == record.MemberEnd() ? nullptr : &it->value;
}

/// Risk in millions: "0" for a missing or falsy value, otherwise the amount
/// divided by one million, rounded to two decimals, in shortest form.
void append_risk(std::string& out, const common::Json* v) {
  if (v == nullptr || !common::json_truthy(*v)) {
    out += '0';
    return;
  }
  if (!v->IsNumber() && !v->IsBool())
    throw std::runtime_error("son_risk must be a number, not " + text_form(*v));
  append_cell(out, common::Json(common::round_decimal(common::json_as_double(*v) / 1e6, 2)));
}

void append_row(std::string& out, const common::Json& record) {
  auto cell = [&](std::string_view name, bool falsy_is_empty) {
    const common::Json* v = member(record, name);
    if (v != nullptr && !(falsy_is_empty && !common::json_truthy(*v))) append_cell(out, *v);
  };
  out += "<tr>\n              <td style=\"font-weight:600\">";
  cell("muta", false);
  out += "</td>\n              <td>";
  cell("unvan", true);
  out += "</td>\n              <td style=\"text-align:right\">";
  cell("score_last", false);
  out += "</td>\n              <td style=\"text-align:right\">";
  append_risk(out, member(record, "son_risk"));
  out += "</td>\n              <td style=\"color:#666;font-size:12px\">";
  cell("reason", false);
  out += "</td>\n            </tr>";
}

void append_card(std::string& out, const Section& s, const common::Json& list) {
  out += "\n        <div style=\"margin-bottom:24px\">"
         "\n          <div style=\"display:flex;align-items:center;gap:8px;margin-bottom:8px\">"
         "\n            <span style=\"display:inline-block;width:4px;height:20px;background:";
  out += s.colour;
  out += ";border-radius:2px\"></span>\n            <h3 style=\"margin:0;font-size:16px;color:#333\">";
  out += s.title;
  out += "</h3>\n            <span style=\"font-size:13px;color:#888\">(";
  out += std::to_string(list.Size());
  out += " firma)</span>"
         "\n          </div>"
         "\n          <p style=\"margin:0 0 8px 12px;font-size:13px;color:#666\">";
  out += s.description;
  out += "</p>"
         "\n          <table style=\"width:100%;border-collapse:collapse;font-size:13px\">"
         "\n            <thead>"
         "\n              <tr style=\"background:#f8f9fa;border-bottom:2px solid #dee2e6\">"
         "\n                <th style=\"text-align:left;padding:6px 8px;width:100px\">MUTA</th>"
         "\n                <th style=\"text-align:left;padding:6px 8px\">Unvan</th>"
         "\n                <th style=\"text-align:right;padding:6px 8px;width:80px\">KMR Skor</th>"
         "\n                <th style=\"text-align:right;padding:6px 8px;width:100px\">Risk (Mio)</th>"
         "\n                <th style=\"text-align:left;padding:6px 8px\">Neden</th>"
         "\n              </tr>"
         "\n            </thead>"
         "\n            <tbody>";
  rapidjson::SizeType index = 0;
  for (const auto& record : list.GetArray()) {
    if (!record.IsObject())
      throw std::runtime_error(std::string(s.key) + "[" + std::to_string(index) + "] is not a map");
    try {
      append_row(out, record);
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(std::string(s.key) + "[" + std::to_string(index) + "]: " + e.what());
    }
    ++index;
  }
  out += "</tbody>"
         "\n          </table>"
         "\n        </div>";
}

}  // namespace

std::string _build_trending_html(const common::Json& trending) {
  if (!trending.IsObject()) throw std::invalid_argument("the trending lists must be a JSON object");
  const common::Json* lists[std::size(kSections)] = {};
  bool any = false;
  for (std::size_t i = 0; i < std::size(kSections); ++i) {
    const common::Json* list = member(trending, kSections[i].key);
    if (list == nullptr || list->IsNull()) continue;
    if (!list->IsArray()) throw std::runtime_error(std::string(kSections[i].key) + " must be a list");
    if (list->Empty()) continue;
    lists[i] = list;
    any = true;
  }
  if (!any) return "";
  std::string out(kOpening);
  for (std::size_t i = 0; i < std::size(kSections); ++i)
    if (lists[i]) append_card(out, kSections[i], *lists[i]);
  out += kClosing;
  return out;
}

std::string trending_html_from_file(const std::string& path) {
  const common::JsonDoc doc = common::json_parse_file(path);
  try {
    return _build_trending_html(doc);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

bool place_trending_section(const std::string& html_path, const std::string& section) {
  std::string page = common::read_file(html_path);
  bool marked = true;
  if (auto at = page.find(kTrendingMarker); at != std::string::npos) {
    page.replace(at, kTrendingMarker.size(), section);
  } else {
    marked = false;
    auto body = page.rfind("</body>");
    page.insert(body == std::string::npos ? page.size() : body, section);
  }
  common::write_file_atomic(html_path, page);
  return marked;
}

}  // namespace kemora::pipeline::panogen
