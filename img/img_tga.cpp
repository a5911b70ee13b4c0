// Truevision TGA loader: colour-mapped, true-colour and greyscale pictures,
// uncompressed or run-length encoded, into a surface of the file's own depth.
// TGA has no signature; the format table reaches this loader by type name.
#include "img.h"
#include "surface.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int header_size = 18;

// Descriptor bits: 0x20 top-down; 0x10 right-to-left and 0xC0 interleaving
// are refused.
constexpr Uint8 top_down = 0x20;
constexpr Uint8 refused_layout = 0xD0;

enum class kind { colour_mapped, true_colour, greyscale };

struct tga_header {
  Uint8 id_length;
  Uint8 colour_map_type;
  Uint8 image_type;
  Uint16 colour_map_length;
  Uint8 colour_map_depth;
  Uint16 width;
  Uint16 height;
  Uint8 pixel_depth;
  Uint8 descriptor;
};

Uint16 le16(const Uint8* p) { return static_cast<Uint16>(p[0] | p[1] << 8); }

tga_header parse_header(const Uint8 (&b)[header_size]) {
  // Offsets 3 (first colour map entry) and 8, 10 (origin) are not used.
  return {b[0], b[1], b[2], le16(b + 5), b[7], le16(b + 12), le16(b + 14), b[16], b[17]};
}

// Whether the picture is one this loader handles; sets its kind and coding.
bool classify(const tga_header& h, kind& k, bool& rle) {
  if (h.descriptor & refused_layout) return false;
  rle = h.image_type >= 9;
  switch (h.image_type) {
    case 1:
    case 9: k = kind::colour_mapped; return h.colour_map_type != 0 && h.pixel_depth == 8 && h.colour_map_length <= 256;
    case 2:
    case 10:
      k = kind::true_colour;
      return h.pixel_depth == 15 || h.pixel_depth == 16 || h.pixel_depth == 24 || h.pixel_depth == 32;
    case 3:
    case 11: k = kind::greyscale; return h.pixel_depth == 8;
    default: return false;
  }
}

// File pixels are little-endian (blue, green, red, alpha); the masks make them
// the surface's pixels as they stand, and on a big-endian host 16-bit pixels
// are swapped after reading.
SDL_Surface* create_tga_surface(int width, int height, int bytes_per_pixel) {
  const bool big = SDL_BYTEORDER == SDL_BIG_ENDIAN;
  switch (bytes_per_pixel) {
    case 1: return img::create_surface(width, height, 8, 0, 0, 0, 0);
    case 2: return img::create_surface(width, height, 16, 0x7C00, 0x03E0, 0x001F, 0);
    case 3:
      return big ? img::create_surface(width, height, 24, 0x0000FF, 0x00FF00, 0xFF0000, 0)
                 : img::create_surface(width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF, 0);
    default:
      return big ? img::create_surface(width, height, 32, 0x0000FF00, 0x00FF0000, 0xFF000000, 0x000000FF)
                 : img::create_surface(width, height, 32, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000);
  }
}

void to_host_order(Uint8* p, int pixels, int bytes_per_pixel) {
  if (SDL_BYTEORDER != SDL_BIG_ENDIAN || bytes_per_pixel != 2) return;
  for (int i = 0; i < pixels; ++i, p += 2) std::swap(p[0], p[1]);
}

// Fills the palette from the file's colour map; returns the index of the last
// entry whose alpha is below 128, or -1. Entries of an unknown depth are left
// as they were.
int apply_colour_map(SDL_Palette* palette, const Uint8* map, int length, int entry_depth) {
  int key = -1;
  palette->ncolors = length;
  for (int i = 0; i < length; ++i) {
    SDL_Color& c = palette->colors[i];
    if (entry_depth == 15 || entry_depth == 16) {
      const unsigned v = le16(map);
      map += 2;
      c.r = static_cast<Uint8>((v >> 7) & 0xF8);
      c.g = static_cast<Uint8>((v >> 2) & 0xF8);
      c.b = static_cast<Uint8>((v << 3) & 0xFF);
    } else if (entry_depth == 24 || entry_depth == 32) {
      c.b = map[0];
      c.g = map[1];
      c.r = map[2];
      map += 3;
      if (entry_depth == 32) {
        if (*map < 128) key = i;
        ++map;
      }
    }
  }
  return key;
}

// Reads whole objects from the stream and remembers the first that failed:
// from then on nothing more can arrive, so the pixel loops stop early and the
// rest of the surface keeps its initial value.
class pixel_source {
 public:
  explicit pixel_source(SDL_RWops* src) : src_(src) {}
  bool read(void* dst, int bytes) {
    if (!ended_ && SDL_RWread(src_, dst, bytes, 1) != 1) ended_ = true;
    return !ended_;
  }
  bool ended() const { return ended_; }

 private:
  SDL_RWops* src_;
  bool ended_ = false;
};

// Run-length packets, whose state carries from row to row: packets may
// cross row ends.
struct rle_runs {
  int raw_count = 0;
  int repeat_count = 0;
  Uint8 repeated[4] = {};

  // Fills `width` pixels of `row`; stops early where the data end.
  void read_row(pixel_source& in, Uint8* row, int width, int bytes_per_pixel) {
    int x = 0;
    while (x < width) {
      if (raw_count > 0) {
        const int n = std::min(raw_count, width - x);
        if (!in.read(row + x * bytes_per_pixel, n * bytes_per_pixel)) return;
        to_host_order(row + x * bytes_per_pixel, n, bytes_per_pixel);
        raw_count -= n;
        x += n;
      } else if (repeat_count > 0) {
        const int n = std::min(repeat_count, width - x);
        for (int i = 0; i < n; ++i) std::memcpy(row + (x + i) * bytes_per_pixel, repeated, bytes_per_pixel);
        repeat_count -= n;
        x += n;
      } else if (!read_packet(in, bytes_per_pixel)) {
        return;
      }
    }
  }

  bool read_packet(pixel_source& in, int bytes_per_pixel) {
    Uint8 packet;
    if (!in.read(&packet, 1)) return false;
    if ((packet & 0x80) == 0) {
      raw_count = packet + 1;
      return true;
    }
    if (!in.read(repeated, bytes_per_pixel)) return false;
    to_host_order(repeated, 1, bytes_per_pixel);
    repeat_count = (packet & 0x7F) + 1;
    return true;
  }
};

void read_pixels(SDL_RWops* src, SDL_Surface* surface, int bytes_per_pixel, bool rle, bool top_down_rows) {
  const int width = surface->w;
  const int height = surface->h;
  if (width == 0 || height == 0) return;
  Uint8* const pixels = static_cast<Uint8*>(surface->pixels);
  const int row_bytes = width * bytes_per_pixel;  // create_surface checked that the pitch holds it
  pixel_source in(src);
  rle_runs runs;
  for (int y = 0; y < height && !in.ended(); ++y) {
    const int surface_row = top_down_rows ? y : height - 1 - y;
    Uint8* const row = pixels + static_cast<std::ptrdiff_t>(surface_row) * surface->pitch;
    if (!rle) {
      if (in.read(row, row_bytes)) to_host_order(row, width, bytes_per_pixel);
    } else {
      runs.read_row(in, row, width, bytes_per_pixel);
    }
  }
  // What is left of a packet after the last row is dropped.
}

SDL_Surface* fail(SDL_RWops* src, int start, SDL_Surface* surface, const char* message) {
  SDL_RWseek(src, start, RW_SEEK_SET);
  if (surface) SDL_FreeSurface(surface);
  SDL_SetError("%s", message);
  return nullptr;
}

// The colour map after the header: the palette of a colour-mapped picture,
// passed over in the others. False when there is no memory for it.
bool read_colour_map(SDL_RWops* src, SDL_Surface* surface, const tga_header& h, bool colour_mapped) {
  const int map_size = h.colour_map_length * ((h.colour_map_depth + 7) >> 3);
  if (!colour_mapped) {
    SDL_RWseek(src, map_size, RW_SEEK_CUR);
    return true;
  }
  SDL_Palette* palette = surface->format->palette;
  // Zeroed, so a map cut short by the end of the file gives black entries.
  Uint8* map = map_size > 0 ? static_cast<Uint8*>(std::calloc(map_size, 1)) : nullptr;
  if (!palette || (map_size > 0 && !map)) {
    std::free(map);
    return false;
  }
  if (map_size > 0) SDL_RWread(src, map, map_size, 1);
  const int key = apply_colour_map(palette, map, h.colour_map_length, h.colour_map_depth);
  std::free(map);
  if (key >= 0) SDL_SetColorKey(surface, SDL_SRCCOLORKEY, static_cast<Uint32>(key));
  return true;
}

}  // namespace

extern "C" SDL_Surface* IMG_LoadTGA_RW(SDL_RWops* src) {
  if (!src) return nullptr;
  const int start = SDL_RWseek(src, 0, RW_SEEK_CUR);

  Uint8 raw_header[header_size];
  if (SDL_RWread(src, raw_header, header_size, 1) != 1) return fail(src, start, nullptr, "Error reading TGA data");
  const tga_header h = parse_header(raw_header);
  kind k;
  bool rle;
  if (!classify(h, k, rle)) return fail(src, start, nullptr, "Unsupported TGA format");

  SDL_RWseek(src, h.id_length, RW_SEEK_CUR);

  const int bytes_per_pixel = (h.pixel_depth + 7) >> 3;
  SDL_Surface* surface = create_tga_surface(h.width, h.height, bytes_per_pixel);
  if (!surface) return fail(src, start, nullptr, "Out of memory");

  if (h.colour_map_type != 0 && !read_colour_map(src, surface, h, k == kind::colour_mapped))
    return fail(src, start, surface, "Out of memory");

  if (k == kind::greyscale) {
    SDL_Palette* palette = surface->format->palette;
    if (!palette) return fail(src, start, surface, "Out of memory");
    for (int i = 0; i < 256; ++i) palette->colors[i] = SDL_Color{Uint8(i), Uint8(i), Uint8(i), 0};
    palette->ncolors = 256;
  }

  read_pixels(src, surface, bytes_per_pixel, rle, (h.descriptor & top_down) != 0);
  return surface;
}
