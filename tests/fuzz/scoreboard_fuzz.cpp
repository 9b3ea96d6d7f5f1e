// A whole render of a hostile scoreboard: reading, row encoding, region maps,
// ordering, chunking and the page, through a small template that prints
// every value the page gets. A render either fails with an error or writes a
// page that is valid UTF-8, and a render on three threads (the rows in twelve
// groups) gives the same page or the same error as one on one thread.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "fuzz_support.hpp"
#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/render.hpp"

namespace pg = kemora::pipeline::panogen;

namespace {
const char kTemplate[] =
    "{{ donemler }}|{{ risk_donemler }}|{{ top_n }}|{{ meta }}|{{ meta|tojson }}|"
    "{% for i, c in enumerate(data_chunks) %}{{ i }}:{{ c }};{% endfor %}|{{ total_chunks }}|{{ total_rows }}|"
    "{{ bolge_list_js }}|{{ sube_list_js }}|{{ flow_matrix_js }}|{{ band_snapshot_js }}|{{ risk_birim }}";
const char kRefCsv[] = "sube_kodu,sube_adi,bolge_kodu,bolge_adi\n1,Şişli,10,İstanbul\n2,Çankaya,20,Ankara\n";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto& dir = kemora::fuzz::scratch();
  static const bool ready = [&] {
    kemora::fuzz::write_bytes(dir / "page.j2", kTemplate);
    kemora::fuzz::write_bytes(dir / "sube_bolge_ref.csv", kRefCsv);
    kemora::paths::set_template_path(dir / "page.j2");
    return true;
  }();
  (void)ready;
  const auto json = dir / "sb.json";
  const auto page = dir / "page.html";
  std::filesystem::remove(page);
  kemora::fuzz::write_bytes(json, std::string_view(reinterpret_cast<const char*>(data), size));
  const auto render = [&](unsigned threads) -> std::string {
    std::filesystem::remove(page);
    try {
      // Small chunks, so that inputs of a few rows make several.
      pg::render_html(json.string(), {.output_html = page.string(), .chunk_size = 2, .top_n = 3, .threads = threads,
                                      .console = [](std::string_view) {}});
    } catch (const std::runtime_error& e) {
      if (std::filesystem::exists(page)) std::abort();  // a failed render writes nothing
      return std::string("error: ") + e.what();
    }
    if (!std::filesystem::exists(page)) return "no page";
    std::string text = kemora::fuzz::read_bytes(page);
    kemora::fuzz::require_utf8(text);
    return text;
  };
  if (render(1) != render(3)) std::abort();
  return 0;
}
