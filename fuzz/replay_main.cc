// Runs a fuzz target over the files named on the command line, for builds
// without libFuzzer, so ctest runs it as a regression test. Besides each
// file itself it feeds every prefix of it and a fixed set of byte-flipped
// copies, so cut and damaged forms of every seed are covered in every build.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kMutationsPerInput = 200;

void Run(const std::string& bytes) {
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::mt19937 rng(20240611);  // fixed: the same inputs in every run
  long runs = 0;
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::cerr << "cannot read " << argv[i] << '\n';
      return 1;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Run(bytes);
    for (size_t length = 0; length < bytes.size(); ++length) Run(bytes.substr(0, length));
    runs += 1 + static_cast<long>(bytes.size());
    if (bytes.empty()) continue;
    for (int m = 0; m < kMutationsPerInput; ++m) {
      std::string mutated = bytes;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) mutated[rng() % mutated.size()] = static_cast<char>(rng() & 0xFF);
      Run(mutated);
      ++runs;
    }
  }
  std::cout << "ran " << runs << " inputs from " << (argc - 1) << " files\n";
  return 0;
}
