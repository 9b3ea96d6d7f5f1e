// Renders a generated scoreboard and prints, from one run: the render's wall
// time, the wall time of Python's bare json.load of the same file, their
// ratio, and the peak memory of the render as a multiple of the input size.
//
//   render_bench [DIR] [--rows N] [--runs K] [--threads T] [--template FILE] [--out FILE]
//
// DIR holds sample_scoreboard.json (and sube_bolge_ref.csv); when the file is
// missing it is generated there with gen_scoreboard.py (N rows, default
// 200000). The render and `python3 -c "import json; json.load(open(F,
// encoding='utf-8'))"` run K times each (default 5), in turn; the figures are
// medians, and the ratio is the median of the ratios of each pair. Targets:
// a ratio of at most 1/12 and a peak of at most 1.25 times the input.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <vector>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kemora/paths.hpp"
#include "kemora/pipeline/panogen/render.hpp"

namespace fs = std::filesystem;
namespace pg = kemora::pipeline::panogen;

extern char** environ;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

/// Wall time of Python's json.load of `json`, or a negative value when
/// python3 cannot be run.
double python_load_seconds(const fs::path& json) {
  const std::string code = "import json, sys; json.load(open(sys.argv[1], encoding='utf-8'))";
  const std::string path = json.string();
  char* argv[] = {const_cast<char*>("python3"), const_cast<char*>("-c"), const_cast<char*>(code.c_str()),
                  const_cast<char*>(path.c_str()), nullptr};
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, "python3", nullptr, nullptr, argv, environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return seconds_since(t0);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path dir = fs::temp_directory_path() / "kemora_render_bench";
  long rows = 200000;
  int runs = 5;
  unsigned threads = 0;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) rows = std::atol(argv[++i]);
    else if (a == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (a == "--threads" && i + 1 < argc) threads = static_cast<unsigned>(std::atoi(argv[++i]));
    else if (a == "--template" && i + 1 < argc) kemora::paths::set_template_path(fs::path(argv[++i]));
    else if (a == "--out" && i + 1 < argc) out = argv[++i];
    else if (a == "-h" || a == "--help") {
      std::printf("usage: render_bench [DIR] [--rows N] [--runs K] [--threads T] [--template FILE] [--out FILE]\n");
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

  pg::RenderResult r;
  std::vector<double> render_s, python_s, ratios;
  for (int k = 0; k < runs; ++k) {
    const auto t0 = std::chrono::steady_clock::now();
    try {
      r = pg::render_html(json.string(), {.output_html = out, .threads = threads, .console = [](std::string_view) {}});
    } catch (const std::exception& e) {
      std::fprintf(stderr, "render_bench: %s\n", e.what());
      return 1;
    }
    render_s.push_back(seconds_since(t0));
    const double py = python_load_seconds(json);
    if (py < 0) {
      std::fprintf(stderr, "render_bench: python3 could not load %s\n", json.c_str());
      return 1;
    }
    python_s.push_back(py);
    ratios.push_back(render_s.back() / py);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  const double peak_mb = static_cast<double>(ru.ru_maxrss) / 1024.0 * 1.024 * 1.024;  // KiB -> MB
  const double ratio = median(ratios);
  std::printf("input      %.1f MB, %lld rows, %lld chunks, output %.1f MB\n", input_mb, r.rows, r.chunks,
              r.size_kb * 1024 / 1e6);
  std::printf("render     %.3f s   (median of %d; min %.3f, max %.3f)\n", median(render_s), runs,
              *std::min_element(render_s.begin(), render_s.end()), *std::max_element(render_s.begin(), render_s.end()));
  std::printf("json.load  %.3f s   (python3, median of %d)\n", median(python_s), runs);
  std::printf("ratio      %.3f = 1/%.1f   (target <= 1/12)\n", ratio, 1 / ratio);
  std::printf("rows/s     %.0f\n", static_cast<double>(r.rows) / median(render_s));
  std::printf("peak RSS   %.1f MB = %.2f x input   (target <= 1.25 x)\n", peak_mb, peak_mb / input_mb);
  return 0;
}
