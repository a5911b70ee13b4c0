// Runs a fuzz target over every file of the given directories (or files), so
// that the fuzz corpus replays as an ordinary test in builds without libFuzzer.
// A target with a custom mutator also gets a few mutants of each small input,
// so that the mutator itself runs under the sanitizers of the test build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" __attribute__((weak)) std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                                                     std::size_t max_size, unsigned seed);

namespace {
std::minstd_rand byte_rng(1);
}

// libFuzzer's byte mutator, for custom mutators outside libFuzzer: one byte
// changed, inserted or removed.
extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size) {
  const std::size_t at = size == 0 ? 0 : byte_rng() % size;
  switch (byte_rng() % 3) {
    case 0:
      if (size < max_size) {
        std::copy_backward(data + at, data + size, data + size + 1);
        data[at] = static_cast<std::uint8_t>(byte_rng());
        return size + 1;
      }
      [[fallthrough]];
    case 1:
      if (size > 0) {
        data[at] = static_cast<std::uint8_t>(byte_rng());
        return size;
      }
      return size;
    default:
      if (size > 0) std::copy(data + at + 1, data + size, data + at);
      return size == 0 ? 0 : size - 1;
  }
}

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  constexpr std::size_t mutated_limit = 16384;
  constexpr int mutants = 24;
  int files = 0;
  int mutated = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> paths;
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(argv[i]))
        if (e.is_regular_file()) paths.push_back(e.path());
    } else {
      paths.emplace_back(argv[i]);
    }
    for (const auto& p : paths) {
      std::ifstream in(p, std::ios::binary);
      std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++files;
      if (!LLVMFuzzerCustomMutator || bytes.size() > mutated_limit) continue;
      // Mutants of mutants, each a fresh allocation of its exact size so
      // that the sanitizers see reads past its end.
      bytes.resize(2 * mutated_limit);
      std::size_t size = std::filesystem::file_size(p);
      for (int m = 0; m < mutants; ++m) {
        size = LLVMFuzzerCustomMutator(bytes.data(), size, bytes.size(), static_cast<unsigned>(files * 131 + m));
        const std::vector<std::uint8_t> mutant(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        LLVMFuzzerTestOneInput(mutant.data(), mutant.size());
        ++mutated;
      }
    }
  }
  std::printf("replayed %d inputs and %d mutants\n", files, mutated);
  return files > 0 ? 0 : 1;
}
