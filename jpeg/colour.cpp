// Colour conversion: sample blocks of one MCU row to output lines.
//
// Two implementations give identical bytes: a portable one that follows the
// table formulation pixel by pixel, and on x86-64 one built for AVX2 from
// GCC vector extensions, chosen once per process. The vector one evaluates
// the table entries' defining products directly, four pixels per vector
// (the products stay below 2^24 in magnitude, so the 32-bit lanes are exact),
// which replaces the per-pixel table loads and scalar clamps.
#include "kernels.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace jpeg {
namespace {

constexpr std::size_t block_bytes = 64;

struct chroma_terms {
    int32_t red, green, blue;
};

inline chroma_terms look_up(const colour_tables& tables, int cb, int cr)
{
    return {tables.cr_to_red[cr], (tables.cr_to_green[cr] + tables.cb_to_green[cb]) >> 16,
            tables.cb_to_blue[cb]};
}

// clamp_sample without branches: colour channels leave 0..255 often enough
// (saturated colours, ringing at edges) that mispredictions would cost more
// than the conditional moves.
inline uint8_t clamp_channel(int32_t value)
{
    return static_cast<uint8_t>(std::min(std::max(value, 0), 255));
}

inline void put_pixel(uint8_t* out, int y, const chroma_terms& chroma)
{
    out[0] = clamp_channel(y + chroma.red);
    out[1] = clamp_channel(y + chroma.green);
    out[2] = clamp_channel(y + chroma.blue);
    out[3] = 255;
}

void convert_h1v1_line_portable(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 3 * block_bytes + line * 8;
        const uint8_t* cb = y + block_bytes;
        const uint8_t* cr = y + 2 * block_bytes;
        uint8_t* out = output + i * 32;
        for (int x = 0; x < 8; ++x)
            put_pixel(out + 4 * x, y[x], look_up(tables, cb[x], cr[x]));
    }
}

void convert_h2v1_line_portable(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 4 * block_bytes + line * 8;
        const uint8_t* cb = y + 2 * block_bytes;
        const uint8_t* cr = y + 3 * block_bytes;
        uint8_t* out = output + i * 64;
        for (int x = 0; x < 16; x += 2) {
            const chroma_terms chroma = look_up(tables, cb[x / 2], cr[x / 2]);
            const uint8_t* luma = y + (x / 8) * block_bytes + x % 8;
            put_pixel(out + 4 * x, luma[0], chroma);
            put_pixel(out + 4 * x + 4, luma[1], chroma);
        }
    }
}

void convert_h1v2_lines_portable(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                        int line, uint8_t* output, uint8_t* second_output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* mcu = mcu_samples + i * 4 * block_bytes;
        const uint8_t* y = mcu + (line / 8) * block_bytes + (line % 8) * 8;
        const uint8_t* cb = mcu + 2 * block_bytes + (line / 2) * 8;
        const uint8_t* cr = mcu + 3 * block_bytes + (line / 2) * 8;
        uint8_t* out = output + i * 32;
        uint8_t* second = second_output + i * 32;
        for (int x = 0; x < 8; ++x) {
            const chroma_terms chroma = look_up(tables, cb[x], cr[x]);
            put_pixel(out + 4 * x, y[x], chroma);
            put_pixel(second + 4 * x, y[x + 8], chroma);
        }
    }
}

void convert_upsampled_line_portable(const colour_tables& tables, const uint8_t* mcu_samples,
                            int mcus_per_row, int line, uint8_t* output)
{
    constexpr std::size_t component_bytes = 4 * block_bytes;
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* mcu = mcu_samples + i * upsampled_blocks_per_mcu * block_bytes;
        const uint8_t* y = mcu + (line / 8) * 2 * block_bytes + (line % 8) * 8;
        uint8_t* out = output + i * 64;
        for (int x = 0; x < 16; ++x) {
            const uint8_t* sample = y + (x / 8) * block_bytes + x % 8;
            put_pixel(out + 4 * x, sample[0],
                      look_up(tables, sample[component_bytes], sample[2 * component_bytes]));
        }
    }
}


#if JPEG_X86_KERNELS

#define JPEG_AVX2_INLINE inline __attribute__((target("avx2"), always_inline))

typedef int32_t i32x4 __attribute__((vector_size(16)));
typedef uint32_t u32x4 __attribute__((vector_size(16)));
typedef uint8_t u8x16 __attribute__((vector_size(16)));

// Four bytes zero-extended to four lanes. The bytes enter through a scalar
// load so that no partial store feeds a wider load (a store-forwarding
// stall).
JPEG_AVX2_INLINE i32x4 widen4(const uint8_t* p)
{
    uint32_t bits;
    std::memcpy(&bits, p, 4);
    const u8x16 bytes = reinterpret_cast<u8x16>(u32x4{bits, 0, 0, 0});
    const u8x16 zero{};
    return reinterpret_cast<i32x4>(__builtin_shuffle(
        bytes, zero, u8x16{0, 16, 16, 16, 1, 16, 16, 16, 2, 16, 16, 16, 3, 16, 16, 16}));
}

JPEG_AVX2_INLINE i32x4 clamp4(i32x4 value)
{
    value = value < 0 ? 0 : value;
    return value > 255 ? 255 : value;
}

struct chroma_vectors {
    i32x4 red, green, blue;
};

// The same values as the table entries: cr_to_red, cb_to_blue and the
// shifted sum of cr_to_green and cb_to_green.
JPEG_AVX2_INLINE chroma_vectors chroma4(const uint8_t* cb, const uint8_t* cr)
{
    const i32x4 kb = widen4(cb) - 128, kr = widen4(cr) - 128;
    return {(91881 * kr + 32768) >> 16, (-46802 * kr - 22554 * kb + 32768) >> 16,
            (116130 * kb + 32768) >> 16};
}

// Lanes are stored little-endian, which puts red at byte 0 of each pixel.
JPEG_AVX2_INLINE void put4(uint8_t* out, i32x4 luma, i32x4 red, i32x4 green, i32x4 blue)
{
    const u32x4 pixels = reinterpret_cast<u32x4>(clamp4(luma + red)) |
                         (reinterpret_cast<u32x4>(clamp4(luma + green)) << 8) |
                         (reinterpret_cast<u32x4>(clamp4(luma + blue)) << 16) | 0xFF000000u;
    std::memcpy(out, &pixels, 16);
}

JPEG_AVX2_INLINE void put4(uint8_t* out, const uint8_t* luma, const chroma_vectors& c)
{
    put4(out, widen4(luma), c.red, c.green, c.blue);
}

__attribute__((target("avx2"))) void convert_h1v1_line_avx2(const uint8_t* mcu_samples,
                                                            int mcus_per_row, int line,
                                                            uint8_t* output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 3 * block_bytes + line * 8;
        uint8_t* out = output + i * 32;
        for (int g = 0; g < 8; g += 4)
            put4(out + 4 * g, y + g, chroma4(y + block_bytes + g, y + 2 * block_bytes + g));
    }
}

__attribute__((target("avx2"))) void convert_h2v1_line_avx2(const uint8_t* mcu_samples,
                                                            int mcus_per_row, int line,
                                                            uint8_t* output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 4 * block_bytes + line * 8;
        uint8_t* out = output + i * 64;
        // Chroma samples 4g..4g+3 serve pixels 8g..8g+7, which all lie in
        // luma block g; each chroma lane is used by two neighbouring pixels.
        for (int g = 0; g < 2; ++g) {
            const chroma_vectors c = chroma4(y + 2 * block_bytes + 4 * g, y + 3 * block_bytes + 4 * g);
            const uint8_t* luma = y + g * block_bytes;
            const i32x4 low{0, 0, 1, 1}, high{2, 2, 3, 3};
            put4(out + 32 * g, widen4(luma), __builtin_shuffle(c.red, low),
                 __builtin_shuffle(c.green, low), __builtin_shuffle(c.blue, low));
            put4(out + 32 * g + 16, widen4(luma + 4), __builtin_shuffle(c.red, high),
                 __builtin_shuffle(c.green, high), __builtin_shuffle(c.blue, high));
        }
    }
}

__attribute__((target("avx2"))) void convert_h1v2_lines_avx2(const uint8_t* mcu_samples,
                                                             int mcus_per_row, int line,
                                                             uint8_t* output,
                                                             uint8_t* second_output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* mcu = mcu_samples + i * 4 * block_bytes;
        const uint8_t* y = mcu + (line / 8) * block_bytes + (line % 8) * 8;
        const uint8_t* cb = mcu + 2 * block_bytes + (line / 2) * 8;
        const uint8_t* cr = mcu + 3 * block_bytes + (line / 2) * 8;
        for (int g = 0; g < 8; g += 4) {
            const chroma_vectors c = chroma4(cb + g, cr + g);
            put4(output + i * 32 + 4 * g, y + g, c);
            put4(second_output + i * 32 + 4 * g, y + 8 + g, c);
        }
    }
}

__attribute__((target("avx2"))) void convert_upsampled_line_avx2(const uint8_t* mcu_samples,
                                                                 int mcus_per_row, int line,
                                                                 uint8_t* output)
{
    constexpr std::size_t component_bytes = 4 * block_bytes;
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* mcu = mcu_samples + i * upsampled_blocks_per_mcu * block_bytes;
        const uint8_t* y = mcu + (line / 8) * 2 * block_bytes + (line % 8) * 8;
        uint8_t* out = output + i * 64;
        for (int g = 0; g < 16; g += 4) {
            const uint8_t* sample = y + (g / 8) * block_bytes + g % 8;
            put4(out + 4 * g, sample, chroma4(sample + component_bytes, sample + 2 * component_bytes));
        }
    }
}

#endif // JPEG_X86_KERNELS

} // namespace

void build_colour_tables(colour_tables& tables)
{
    for (int i = 0; i < 256; ++i) {
        const int32_t k = i - 128;
        tables.cr_to_red[i] = (91881 * k + 32768) >> 16;
        tables.cb_to_blue[i] = (116130 * k + 32768) >> 16;
        tables.cr_to_green[i] = -46802 * k;
        tables.cb_to_green[i] = -22554 * k + 32768;
    }
}

void convert_grey_line(const uint8_t* mcu_samples, int mcus_per_row, int line, uint8_t* output)
{
    const uint8_t* in = mcu_samples + line * 8;
    for (int i = 0; i < mcus_per_row; ++i)
        std::memcpy(output + 8 * i, in + i * block_bytes, 8);
}

#if JPEG_X86_KERNELS
#define JPEG_DISPATCH(call_avx2, call_portable)                                                    \
    do {                                                                                           \
        if (detail::use_avx2_kernels())                                                            \
            call_avx2;                                                                             \
        else                                                                                       \
            call_portable;                                                                         \
    } while (false)
#else
#define JPEG_DISPATCH(call_avx2, call_portable) call_portable
#endif

void convert_h1v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output)
{
    JPEG_DISPATCH(convert_h1v1_line_avx2(mcu_samples, mcus_per_row, line, output),
                  convert_h1v1_line_portable(tables, mcu_samples, mcus_per_row, line, output));
}

void convert_h2v1_line(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                       int line, uint8_t* output)
{
    JPEG_DISPATCH(convert_h2v1_line_avx2(mcu_samples, mcus_per_row, line, output),
                  convert_h2v1_line_portable(tables, mcu_samples, mcus_per_row, line, output));
}

void convert_h1v2_lines(const colour_tables& tables, const uint8_t* mcu_samples, int mcus_per_row,
                        int line, uint8_t* output, uint8_t* second_output)
{
    JPEG_DISPATCH(
        convert_h1v2_lines_avx2(mcu_samples, mcus_per_row, line, output, second_output),
        convert_h1v2_lines_portable(tables, mcu_samples, mcus_per_row, line, output, second_output));
}

void convert_upsampled_line(const colour_tables& tables, const uint8_t* mcu_samples,
                            int mcus_per_row, int line, uint8_t* output)
{
    JPEG_DISPATCH(convert_upsampled_line_avx2(mcu_samples, mcus_per_row, line, output),
                  convert_upsampled_line_portable(tables, mcu_samples, mcus_per_row, line, output));
}

} // namespace jpeg
