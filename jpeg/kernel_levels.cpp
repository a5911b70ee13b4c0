// Kernel selection: one table of kernels per level, and the choice of the
// level, made once per process from the processor and JPEG_SIMD_LEVEL.
#include "kernels.h"

#include <cstdlib>
#include <cstring>

namespace jpeg {
namespace {

#define JPEG_LEVEL_TABLE(level, ns)                                                                                \
  kernel_table {                                                                                                   \
    level, ns::inverse_dct_block, ns::inverse_dct_quarter_block, ns::upsample_chroma_block, ns::convert_h1v1_line, \
        ns::convert_h2v1_line, ns::convert_h1v2_lines, ns::convert_upsampled_line, ns::inverse_dct_4x4,            \
        ns::inverse_dct_8x4, ns::inverse_dct_4x8                                                                   \
  }

constexpr kernel_table level_tables[] = {
    JPEG_LEVEL_TABLE(simd_level::portable, detail::portable),
#if JPEG_SIMD_KERNELS
    JPEG_LEVEL_TABLE(simd_level::sse2, detail::sse2),
    JPEG_LEVEL_TABLE(simd_level::avx2, detail::avx2),
#endif
};

#undef JPEG_LEVEL_TABLE

simd_level highest_supported_level() {
#if JPEG_SIMD_KERNELS
  // Also false when the operating system does not save the AVX registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return simd_level::avx2;
  return simd_level::sse2;
#else
  return simd_level::portable;
#endif
}

simd_level choose_level() {
  simd_level level = highest_supported_level();
  // A cap for tests and fuzzing; unknown values are ignored.
  if (const char* cap = std::getenv("JPEG_SIMD_LEVEL")) {
    simd_level wanted = level;
    if (std::strcmp(cap, "portable") == 0)
      wanted = simd_level::portable;
    else if (std::strcmp(cap, "sse2") == 0)
      wanted = simd_level::sse2;
    else if (std::strcmp(cap, "avx2") == 0)
      wanted = simd_level::avx2;
    if (wanted < level) level = wanted;
  }
  return level;
}

}  // namespace

simd_level selected_simd_level() {
  static const simd_level level = choose_level();
  return level;
}

const kernel_table& kernels_for(simd_level level) {
  const simd_level selected = selected_simd_level();
  return level_tables[static_cast<int>(level < selected ? level : selected)];
}

const kernel_table& selected_kernels() {
  static const kernel_table& table = kernels_for(selected_simd_level());
  return table;
}

}  // namespace jpeg
