// Colour conversion: sample blocks of one MCU row to output lines.
//
// Two implementations give identical bytes: a portable one that follows the
// table formulation pixel by pixel, and on x86-64 an AVX2 one, chosen once
// per process. The AVX2 one evaluates the table entries' defining products
// directly, eight pixels per vector (the products stay below 2^24 in
// magnitude, so the 32-bit lanes are exact), which replaces the per-pixel
// table loads and scalar clamps.
#include "kernels.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#if JPEG_X86_KERNELS
#include "kernels_avx2.h"
#endif

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

void convert_h1v1_line_portable(const colour_tables& tables, const uint8_t* mcu_samples,
                                int mcus_per_row, int line, uint8_t* output)
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

void convert_h2v1_line_portable(const colour_tables& tables, const uint8_t* mcu_samples,
                                int mcus_per_row, int line, uint8_t* output)
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

void convert_h1v2_lines_portable(const colour_tables& tables, const uint8_t* mcu_samples,
                                 int mcus_per_row, int line, uint8_t* output,
                                 uint8_t* second_output)
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

using namespace detail::avx2;

// Eight bytes zero-extended to eight 32-bit lanes.
JPEG_AVX2_INLINE __m256i widen8(const uint8_t* p)
{
    return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

struct chroma_vectors {
    __m256i red, green, blue;
};

JPEG_AVX2_INLINE __m256i times(__m256i k, int32_t factor)
{
    return _mm256_mullo_epi32(k, _mm256_set1_epi32(factor));
}

// The same values as the table entries: cr_to_red, cb_to_blue and the
// shifted sum of cr_to_green and cb_to_green.
JPEG_AVX2_INLINE chroma_vectors chroma8(const uint8_t* cb, const uint8_t* cr)
{
    const __m256i centre = _mm256_set1_epi32(128), half = _mm256_set1_epi32(32768);
    const __m256i kb = _mm256_sub_epi32(widen8(cb), centre);
    const __m256i kr = _mm256_sub_epi32(widen8(cr), centre);
    return {_mm256_srai_epi32(_mm256_add_epi32(times(kr, 91881), half), 16),
            _mm256_srai_epi32(_mm256_add_epi32(_mm256_add_epi32(times(kr, -46802), times(kb, -22554)), half), 16),
            _mm256_srai_epi32(_mm256_add_epi32(times(kb, 116130), half), 16)};
}

// Eight pixels. The two saturating packs are clamp_sample for these values
// (all within -300..600); a byte shuffle then interleaves R, G, B, A inside
// each 128-bit half, which holds four consecutive pixels.
JPEG_AVX2_INLINE void put8(uint8_t* out, __m256i luma, __m256i red, __m256i green, __m256i blue)
{
    const __m256i red_green = _mm256_packs_epi32(_mm256_add_epi32(luma, red), _mm256_add_epi32(luma, green));
    const __m256i blue_alpha = _mm256_packs_epi32(_mm256_add_epi32(luma, blue), _mm256_set1_epi32(255));
    const __m256i planar = _mm256_packus_epi16(red_green, blue_alpha);
    const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,
                                                0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_shuffle_epi8(planar, interleave));
}

JPEG_AVX2_INLINE void put8(uint8_t* out, const uint8_t* luma, const chroma_vectors& c)
{
    put8(out, widen8(luma), c.red, c.green, c.blue);
}

__attribute__((target("avx2"))) void convert_h1v1_line_avx2(const uint8_t* mcu_samples,
                                                            int mcus_per_row, int line,
                                                            uint8_t* output)
{
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 3 * block_bytes + line * 8;
        put8(output + i * 32, y, chroma8(y + block_bytes, y + 2 * block_bytes));
    }
}

__attribute__((target("avx2"))) void convert_h2v1_line_avx2(const uint8_t* mcu_samples,
                                                            int mcus_per_row, int line,
                                                            uint8_t* output)
{
    // Each chroma sample serves two neighbouring pixels: chroma lanes 0..3
    // the left luma block, lanes 4..7 the right one.
    const __m256i left = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i right = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    for (int i = 0; i < mcus_per_row; ++i) {
        const uint8_t* y = mcu_samples + i * 4 * block_bytes + line * 8;
        uint8_t* out = output + i * 64;
        const chroma_vectors c = chroma8(y + 2 * block_bytes, y + 3 * block_bytes);
        put8(out, widen8(y), _mm256_permutevar8x32_epi32(c.red, left),
             _mm256_permutevar8x32_epi32(c.green, left), _mm256_permutevar8x32_epi32(c.blue, left));
        put8(out + 32, widen8(y + block_bytes), _mm256_permutevar8x32_epi32(c.red, right),
             _mm256_permutevar8x32_epi32(c.green, right), _mm256_permutevar8x32_epi32(c.blue, right));
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
        const chroma_vectors c = chroma8(mcu + 2 * block_bytes + (line / 2) * 8,
                                         mcu + 3 * block_bytes + (line / 2) * 8);
        put8(output + i * 32, y, c);
        put8(second_output + i * 32, y + 8, c);
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
        for (int half = 0; half < 2; ++half) {
            const uint8_t* sample = y + half * block_bytes;
            put8(out + 32 * half, sample,
                 chroma8(sample + component_bytes, sample + 2 * component_bytes));
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
