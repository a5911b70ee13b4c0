// Colour conversion: sample blocks of one MCU row to output lines.
//
// The portable converters follow the table formulation pixel by pixel; the
// vector levels (simd_kernels.cpp) give identical bytes.
#include "kernels.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace jpeg {
namespace {

constexpr std::size_t block_bytes = 64;

// Where each layout keeps an MCU's samples.
constexpr const layout_facts& h1v1 = facts_of(component_layout::h1v1);
constexpr const layout_facts& h2v1 = facts_of(component_layout::h2v1);
constexpr const layout_facts& h1v2 = facts_of(component_layout::h1v2);
constexpr const layout_facts& upsampled = upsampled_layout;

struct chroma_terms {
  int32_t red, green, blue;
};

inline chroma_terms look_up(const colour_tables& tables, int cb, int cr) {
  return {tables.cr_to_red[cr], (tables.cr_to_green[cr] + tables.cb_to_green[cb]) >> 16, tables.cb_to_blue[cb]};
}

using detail::clamp_sample;

inline void put_pixel(uint8_t* out, int y, const chroma_terms& chroma) {
  out[0] = clamp_sample(y + chroma.red);
  out[1] = clamp_sample(y + chroma.green);
  out[2] = clamp_sample(y + chroma.blue);
  out[3] = 255;
}

}  // namespace

void detail::portable::convert_h1v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                                         int line, uint8_t* output) {
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* y = mcu_samples + i * h1v1.sample_blocks * block_bytes + line * 8;
    const uint8_t* cb = y + h1v1.cb_samples * block_bytes;
    const uint8_t* cr = y + h1v1.cr_samples * block_bytes;
    uint8_t* out = output + i * 32;
    for (int x = 0; x < 8; ++x) put_pixel(out + 4 * x, y[x], look_up(tables, cb[x], cr[x]));
  }
}

void detail::portable::convert_h2v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                                         int line, uint8_t* output) {
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* y = mcu_samples + i * h2v1.sample_blocks * block_bytes + line * 8;
    const uint8_t* cb = y + h2v1.cb_samples * block_bytes;
    const uint8_t* cr = y + h2v1.cr_samples * block_bytes;
    uint8_t* out = output + i * 64;
    for (int x = 0; x < 16; x += 2) {
      const chroma_terms chroma = look_up(tables, cb[x / 2], cr[x / 2]);
      const uint8_t* luma = y + (x / 8) * block_bytes + x % 8;
      put_pixel(out + 4 * x, luma[0], chroma);
      put_pixel(out + 4 * x + 4, luma[1], chroma);
    }
  }
}

void detail::portable::convert_h1v2_lines(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                                          int line, uint8_t* output, uint8_t* second_output) {
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* mcu = mcu_samples + i * h1v2.sample_blocks * block_bytes;
    const uint8_t* y = mcu + (line / 8) * block_bytes + (line % 8) * 8;
    const uint8_t* cb = mcu + h1v2.cb_samples * block_bytes + (line / 2) * 8;
    const uint8_t* cr = mcu + h1v2.cr_samples * block_bytes + (line / 2) * 8;
    uint8_t* out = output + i * 32;
    uint8_t* second = second_output + i * 32;
    for (int x = 0; x < 8; ++x) {
      const chroma_terms chroma = look_up(tables, cb[x], cr[x]);
      put_pixel(out + 4 * x, y[x], chroma);
      put_pixel(second + 4 * x, y[x + 8], chroma);
    }
  }
}

void detail::portable::convert_upsampled_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                                              int line, uint8_t* output) {
  // A pixel's chroma samples lie as far after its luma sample as the first
  // Cb and Cr sample blocks after the first luma block.
  constexpr std::size_t cb_bytes = upsampled.cb_samples * block_bytes, cr_bytes = upsampled.cr_samples * block_bytes;
  for (int i = 0; i < mcus_per_row; ++i) {
    const uint8_t* mcu = mcu_samples + i * upsampled.sample_blocks * block_bytes;
    const uint8_t* y = mcu + (line / 8) * upsampled.luma_h * block_bytes + (line % 8) * 8;
    uint8_t* out = output + i * 64;
    for (int x = 0; x < 16; ++x) {
      const uint8_t* sample = y + (x / 8) * block_bytes + x % 8;
      put_pixel(out + 4 * x, sample[0], look_up(tables, sample[cb_bytes], sample[cr_bytes]));
    }
  }
}

// JFIF's YCbCr -> RGB factors in 16 fraction bits, round(2^16 * f):
// R = Y + 1.402 Cr, G = Y - 0.34414 Cb - 0.71414 Cr, B = Y + 1.772 Cb.
constexpr int32_t cr_red_factor = 91881;    // 1.402
constexpr int32_t cb_blue_factor = 116130;  // 1.772
constexpr int32_t cr_green_factor = 46802;  // 0.71414
constexpr int32_t cb_green_factor = 22554;  // 0.34414
constexpr int32_t colour_rounding = 1 << 15;
static_assert(cr_red_factor == int32_t(1.402 * 65536 + 0.5) && cb_blue_factor == int32_t(1.772 * 65536 + 0.5) &&
              cr_green_factor == int32_t(0.71414 * 65536 + 0.5) && cb_green_factor == int32_t(0.34414 * 65536 + 0.5));

void build_colour_tables(colour_tables& tables) {
  for (int i = 0; i < 256; ++i) {
    const int32_t k = i - 128;
    tables.cr_to_red[i] = (cr_red_factor * k + colour_rounding) >> 16;
    tables.cb_to_blue[i] = (cb_blue_factor * k + colour_rounding) >> 16;
    tables.cr_to_green[i] = -cr_green_factor * k;
    tables.cb_to_green[i] = -cb_green_factor * k + colour_rounding;
  }
}

void convert_grey_line(const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output) {
  const uint8_t* in = mcu_samples + line * 8;
  for (int i = 0; i < mcus_per_row; ++i) std::memcpy(output + 8 * i, in + i * block_bytes, 8);
}

}  // namespace jpeg
