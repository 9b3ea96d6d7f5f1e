// Renders a generated scoreboard once and prints wall time, throughput and
// peak memory.
//
//   render_bench [DIR] [--rows N] [--template FILE] [--out FILE]
//
// DIR holds sample_scoreboard.json (and sube_bolge_ref.csv); when the file is
// missing it is generated there with gen_scoreboard.py (N rows, default
// 200000). Target: at most 0.6 s wall and a peak RSS of at most 1.5 times the
// input size. Run it once per process: the peak is the process's own.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/render.hpp"

namespace fs = std::filesystem;
namespace pg = kemora::pipeline::panogen;

int main(int argc, char** argv) {
  fs::path dir = fs::temp_directory_path() / "kemora_render_bench";
  long rows = 200000;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) rows = std::atol(argv[++i]);
    else if (a == "--template" && i + 1 < argc) kemora::paths::set_template_path(fs::path(argv[++i]));
    else if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "-h" || a == "--help") {
      std::printf("usage: render_bench [DIR] [--rows N] [--template FILE] [--out FILE]\n");
      return 0;
    } else dir = a;
  }
  const fs::path json = dir / "sample_scoreboard.json";
  if (!fs::exists(json)) {
    const fs::path gen = fs::path(__FILE__).parent_path() / "gen_scoreboard.py";
    std::string cmd = "/usr/bin/python3 '" + gen.string() + "' " + std::to_string(rows) + " '" + dir.string() + "'";
    std::fprintf(stderr, "generating %s (%ld rows)\n", json.c_str(), rows);
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "render_bench: the generator failed: %s\n", cmd.c_str());
      return 1;
    }
  }
  if (out.empty()) out = (fs::temp_directory_path() / "kemora_render_bench.html").string();
  const double input_mb = static_cast<double>(fs::file_size(json)) / 1e6;

  auto t0 = std::chrono::steady_clock::now();
  pg::RenderResult r;
  try {
    r = pg::render_html(json.string(), {.output_html = out});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "render_bench: %s\n", e.what());
    return 1;
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const double peak_mb = static_cast<double>(ru.ru_maxrss) / 1024.0 * 1.024 * 1.024;  // KiB -> MB
  std::printf("input      %.1f MB, %lld rows, %lld chunks, output %.1f MB\n", input_mb, r.rows, r.chunks,
              r.size_kb * 1024 / 1e6);
  std::printf("wall       %.3f s   (target <= 0.600 s)\n", wall);
  std::printf("rows/s     %.0f\n", static_cast<double>(r.rows) / wall);
  std::printf("MB/s       %.1f (input)\n", input_mb / wall);
  std::printf("peak RSS   %.1f MB = %.2f x input   (target <= 1.50 x)\n", peak_mb, peak_mb / input_mb);
  return 0;
}
