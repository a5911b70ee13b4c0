// Shared by the test sources: the bytes of a file, the generated JPEG corpus
// and the zig-zag order.
#ifndef TESTS_TEST_SUPPORT_H
#define TESTS_TEST_SUPPORT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using byte_string = std::vector<std::uint8_t>;

// The whole file; empty when it cannot be read.
inline byte_string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

#ifdef JPEG_CORPUS_DIR
// A line of the corpus's MANIFEST: a file, the status our decoder gives it,
// and where its start-of-image marker lies (libjpeg wants it at the front).
struct corpus_file {
  std::string name;
  int status;
  std::ptrdiff_t soi_offset;
};

inline std::vector<corpus_file> corpus_manifest() {
  std::ifstream in(JPEG_CORPUS_DIR "/MANIFEST");
  std::vector<corpus_file> files;
  corpus_file f;
  while (in >> f.name >> f.status >> f.soi_offset) files.push_back(f);
  return files;
}

inline std::string corpus_path(const std::string& name) { return JPEG_CORPUS_DIR "/" + name; }
#endif

// The natural (row-major) index of each zig-zag position, walked from its
// definition: the anti-diagonals x + y = d in turn, upwards to the right
// when d is even, downwards to the left when d is odd.
constexpr std::array<int, 64> natural_of_zigzag = [] {
  std::array<int, 64> order{};
  int k = 0;
  for (int d = 0; d < 15; ++d)
    for (int i = 0; i <= d; ++i) {
      const int y = d % 2 == 0 ? d - i : i;
      if (y < 8 && d - y < 8) order[k++] = y * 8 + (d - y);
    }
  return order;
}();

#endif
