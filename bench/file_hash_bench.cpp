// Throughput of _file_hash against `openssl dgst -sha256` on the same file.
//
//   build/bin/file_hash_bench [SIZE_MB] [FOLDER]     (default 1024 MB in /tmp)
//
// Both read the file from the page cache (it is read once before timing).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kemora/common/process.hpp"
#include "kemora/motor/fingerprint.hpp"

namespace {
double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main(int argc, char** argv) {
  std::size_t mb = argc > 1 ? std::stoul(argv[1]) : 1024;
  std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path();
  auto file = dir / "kemora_file_hash_bench.bin";
  {
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
    for (std::size_t i = 0; i < mb; ++i) {
      block[i % block.size()] ^= 1;
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  kemora::motor::_file_hash(file.string());  // warm the page cache

  const int rounds = 3;
  double ours = 1e9, theirs = 1e9;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    std::string h = kemora::motor::_file_hash(file.string());
    ours = std::min(ours, seconds_since(t0));
    t0 = std::chrono::steady_clock::now();
    auto res = kemora::common::run_process({"openssl", "dgst", "-sha256", file.string()});
    theirs = std::min(theirs, seconds_since(t0));
    if (res.out.find(h) == std::string::npos) {
      std::fprintf(stderr, "digest mismatch: %s vs %s\n", h.c_str(), res.out.c_str());
      return 1;
    }
  }
  std::filesystem::remove(file);
  double mib = static_cast<double>(mb);
  std::printf("_file_hash:          %.3f s  %.0f MiB/s\n", ours, mib / ours);
  std::printf("openssl dgst sha256: %.3f s  %.0f MiB/s\n", theirs, mib / theirs);
  std::printf("throughput ratio (ours / openssl): %.3f  (target >= 0.9)\n", theirs / ours);
  return 0;
}
