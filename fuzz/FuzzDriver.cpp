// Replays a seed corpus and deterministic mutations of it through a fuzz target, for
// builds without libFuzzer. Usage: NAME_fuzz [CORPUS_DIR_OR_FILE...] [-runs=N]
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
using Bytes = std::vector<uint8_t>;

void Run(const Bytes& b) { LLVMFuzzerTestOneInput(b.data(), b.size()); }

Bytes Mutate(const Bytes& seed, std::mt19937& rng) {
  Bytes b = seed;
  static const char* tokens[] = {"\n", "\r\n", "[", "]", "=", "%", "\\", "-->", ":", ",", "<", ">", "\"", "\xEF\xBB\xBF",
                                 "\xFF\xFE", "\0", "99999999999999999999", "-1", "&", "{", "}"};
  int edits = 1 + static_cast<int>(rng() % 8);
  for (int e = 0; e < edits; ++e) {
    size_t pos = b.empty() ? 0 : rng() % (b.size() + 1);
    switch (rng() % 6) {
      case 0:
        if (!b.empty() && pos < b.size()) b[pos] ^= static_cast<uint8_t>(1u << (rng() % 8));
        break;
      case 1:
        if (!b.empty() && pos < b.size()) b[pos] = static_cast<uint8_t>(rng());
        break;
      case 2:
        b.resize(pos);  // truncation
        break;
      case 3: {
        const char* t = tokens[rng() % std::size(tokens)];
        size_t len = t[0] ? std::strlen(t) : 1;
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), t, t + len);
        break;
      }
      case 4:
        if (pos < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(pos),
                                    b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), pos + rng() % 16)));
        break;
      case 5:
        if (!b.empty()) {  // duplicate a slice
          size_t from = rng() % b.size(), len = std::min<size_t>(rng() % 64, b.size() - from);
          Bytes slice(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + len));
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(std::min(pos, b.size())), slice.begin(), slice.end());
        }
        break;
    }
  }
  return b;
}
}  // namespace

int main(int argc, char** argv) {
  long runs = 4000;
  std::vector<Bytes> seeds;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "-runs=", 6) == 0) {
      runs = std::atol(argv[i] + 6);
      continue;
    }
    std::filesystem::path p = argv[i];
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) files.push_back(e.path());
    } else {
      files.push_back(p);
    }
    for (const auto& f : files) {
      std::ifstream in(f, std::ios::binary);
      seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  }
  seeds.emplace_back();
  for (const auto& s : seeds) Run(s);
  std::mt19937 rng(12345);
  for (long i = 0; i < runs; ++i) Run(Mutate(seeds[rng() % seeds.size()], rng));
  std::printf("%zu seeds, %ld mutated inputs: no crash\n", seeds.size(), runs);
  return 0;
}
