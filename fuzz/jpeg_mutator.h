// A structure-aware mutator for JPEG inputs: it cuts the bytes into marker
// segments (a scan keeps its entropy-coded data and restart markers) and
// mutates whole segments or their known fields, so that the fuzzer gets past
// the first marker and reaches progressive refinement, restarts and the
// set-up refusals. Input that is no JPEG, and one mutation in eight, goes to
// libFuzzer's own byte mutator.
#ifndef FUZZ_JPEG_MUTATOR_H
#define FUZZ_JPEG_MUTATOR_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace fuzz {

using bytes = std::vector<std::uint8_t>;

// The decoder's pixel limit in the targets: pictures up to a few megapixels
// reach the wide-row and many-row paths and still run quickly.
inline constexpr std::uint64_t max_pixels = std::uint64_t{1} << 22;

// Whole marker segments in file order; the first piece holds whatever
// precedes SOI. Bytes between segments stay with the segment before them,
// so joining the pieces gives the input back unchanged.
struct jpeg_pieces {
  std::vector<bytes> pieces;

  static bool has_length(int code) {
    return code != 0x01 && code != 0xD8 && code != 0xD9 && !(code >= 0xD0 && code <= 0xD7);
  }

  // False when the input holds no SOI.
  bool split(const std::uint8_t* data, std::size_t size) {
    pieces.clear();
    std::size_t soi = 0;
    while (soi + 1 < size && !(data[soi] == 0xFF && data[soi + 1] == 0xD8)) ++soi;
    if (soi + 1 >= size) return false;
    pieces.emplace_back(data, data + soi);
    std::size_t at = soi;
    while (at < size) {
      std::size_t end = at + 2;
      const int code = data[at + 1 < size ? at + 1 : at];
      if (has_length(code) && at + 4 <= size) end = at + 2 + (data[at + 2] << 8 | data[at + 3]);
      if (code == 0xDA) {
        // Entropy-coded data, restart markers included, up to the next marker.
        while (end + 1 < size &&
               !(data[end] == 0xFF && data[end + 1] != 0 && (data[end + 1] < 0xD0 || data[end + 1] > 0xD7)))
          ++end;
      }
      // Up to the next 0xFF: stray bytes stay with this segment.
      while (end < size && data[end] != 0xFF) ++end;
      end = std::min(std::max(end, at + 1), size);
      pieces.emplace_back(data + at, data + end);
      at = end;
    }
    return true;
  }

  std::size_t join(std::uint8_t* out, std::size_t max_size) const {
    std::size_t n = 0;
    for (const bytes& p : pieces) {
      const std::size_t take = std::min(p.size(), max_size - n);
      if (take != 0) std::memcpy(out + n, p.data(), take);
      n += take;
    }
    return n;
  }
};

inline void set_length(bytes& segment) {
  if (segment.size() < 4) return;
  std::size_t length = std::min<std::size_t>(segment.size() - 2, 0xFFFF);
  segment[2] = static_cast<std::uint8_t>(length >> 8);
  segment[3] = static_cast<std::uint8_t>(length);
}

// Mutates the payload of a segment with libFuzzer's mutator and keeps the
// length field right for it.
inline void mutate_payload(bytes& segment, std::size_t from, std::size_t max_growth) {
  if (segment.size() < from) return;
  std::size_t size = segment.size() - from;
  segment.resize(segment.size() + max_growth);
  size = LLVMFuzzerMutate(segment.data() + from, size, size + max_growth);
  segment.resize(from + size);
  set_length(segment);
}

inline std::size_t mutate_jpeg(std::uint8_t* data, std::size_t size, std::size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  jpeg_pieces j;
  if (pick(8) == 0 || !j.split(data, size) || j.pieces.size() < 2) return LLVMFuzzerMutate(data, size, max_size);
  std::vector<bytes>& p = j.pieces;
  // Segments (never the bytes before SOI) that start with the given marker.
  auto find = [&](auto accept) {
    std::vector<std::size_t> at;
    for (std::size_t i = 1; i < p.size(); ++i)
      if (p[i].size() >= 2 && accept(p[i][1])) at.push_back(i);
    return at;
  };
  auto any_of = [&](auto accept) -> bytes* {
    const std::vector<std::size_t> at = find(accept);
    return at.empty() ? nullptr : &p[at[pick(at.size())]];
  };
  const std::size_t segments = p.size() - 1;
  const std::size_t i = 1 + pick(segments);
  switch (pick(10)) {
    case 0:  // swap two segments
      std::swap(p[i], p[1 + pick(segments)]);
      break;
    case 1:  // duplicate a segment somewhere else
      p.insert(p.begin() + static_cast<std::ptrdiff_t>(1 + pick(segments)), p[i]);
      break;
    case 2:  // drop a segment
      p.erase(p.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    case 3:  // a length that lies
      if (p[i].size() >= 4 && jpeg_pieces::has_length(p[i][1])) {
        const int length = p[i][2] << 8 | p[i][3];
        const int lie = pick(2) ? static_cast<int>(pick(65536)) : length + static_cast<int>(pick(9)) - 4;
        p[i][2] = static_cast<std::uint8_t>(lie >> 8);
        p[i][3] = static_cast<std::uint8_t>(lie);
      }
      break;
    case 4:  // a quantisation or Huffman table
      if (bytes* s = any_of([](int c) { return c == 0xDB || c == 0xC4; })) {
        if (pick(2) && s->size() > 4) {
          (*s)[4 + pick(s->size() - 4)] = static_cast<std::uint8_t>(pick(2) ? rng() : rng() % 17);
        } else {
          mutate_payload(*s, 4, 64);
        }
      }
      break;
    case 5:  // a scan header: selectors, tables, Ss, Se, Ah and Al
      if (bytes* s = any_of([](int c) { return c == 0xDA; }); s && s->size() >= 5) {
        const std::size_t header_end = std::min<std::size_t>(s->size(), 2 + ((*s)[2] << 8 | (*s)[3]));
        const std::size_t field = 4 + pick(std::max<std::size_t>(header_end, 5) - 4);
        static constexpr std::uint8_t values[] = {0, 1, 2, 3, 4, 5, 6, 0x10, 0x11, 0x21, 13, 62, 63, 64, 0xFF};
        (*s)[std::min(field, s->size() - 1)] = pick(3) ? values[pick(sizeof values)] : static_cast<std::uint8_t>(rng());
      }
      break;
    case 6:  // a frame header: kind, size, components, sampling, tables
      if (bytes* s = any_of([](int c) { return c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC; })) {
        if (pick(4) == 0) {
          (*s)[1] = static_cast<std::uint8_t>(0xC0 + pick(3));
        } else if (s->size() > 4) {
          static constexpr std::uint8_t values[] = {0, 1, 2, 3, 4, 8, 0x11, 0x12, 0x21, 0x22, 0x40, 0x80, 0xFF};
          (*s)[4 + pick(s->size() - 4)] = pick(3) ? values[pick(sizeof values)] : static_cast<std::uint8_t>(rng());
        }
      }
      break;
    case 7: {  // a new marker: restart interval, restart marker, end of image
      bytes m;
      switch (pick(3)) {
        case 0: m = {0xFF, 0xDD, 0x00, 0x04, 0x00, static_cast<std::uint8_t>(pick(4))}; break;
        case 1: m = {0xFF, static_cast<std::uint8_t>(0xD0 + pick(8))}; break;
        default: m = {0xFF, 0xD9}; break;
      }
      if (bytes* s = any_of([](int c) { return c == 0xDA; }); s && pick(2)) {
        // Into entropy-coded data, where restart markers belong.
        s->insert(s->begin() + static_cast<std::ptrdiff_t>(std::min(s->size(), 4 + pick(s->size()))), m.begin(),
                  m.end());
      } else {
        p.insert(p.begin() + static_cast<std::ptrdiff_t>(i), m);
      }
      break;
    }
    case 8:  // entropy-coded data, its scan header kept
      if (bytes* s = any_of([](int c) { return c == 0xDA; }); s && s->size() >= 4) {
        const std::size_t header_end = std::min<std::size_t>(s->size(), 2 + ((*s)[2] << 8 | (*s)[3]));
        if (pick(4) == 0) {
          s->resize(header_end + pick(s->size() - header_end + 1));
        } else {
          std::size_t size = s->size() - header_end;
          s->resize(s->size() + 64);
          size = LLVMFuzzerMutate(s->data() + header_end, size, size + 64);
          s->resize(header_end + size);
        }
      }
      break;
    default:  // bytes of one segment, its length kept right
      mutate_payload(p[i], 4, 32);
      break;
  }
  return j.join(data, max_size);
}

}  // namespace fuzz

#endif
