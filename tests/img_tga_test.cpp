// TGA loader: pictures written by ImageMagick and by a small writer of our own
// (for the depths, colour maps and packet shapes ImageMagick does not write),
// refusals with their error texts and stream positions, and hostile files.
#include "img.h"
#include "surface.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// ---- A TGA writer for hand-made files -------------------------------------

struct tga {
  int id_length = 0;
  int colour_map_type = 0;
  int image_type = 2;
  int map_length = 0;
  int map_depth = 0;
  int width = 1;
  int height = 1;
  int depth = 24;
  int descriptor = 0;
  std::string map;   // colour map bytes as stored
  std::string data;  // pixel data as stored (packets included)

  std::string bytes() const {
    std::string h(18, '\0');
    auto put16 = [&](int at, int v) {
      h[at] = char(v & 0xFF);
      h[at + 1] = char(v >> 8);
    };
    h[0] = char(id_length);
    h[1] = char(colour_map_type);
    h[2] = char(image_type);
    put16(5, map_length);
    h[7] = char(map_depth);
    put16(12, width);
    put16(14, height);
    h[16] = char(depth);
    h[17] = char(descriptor);
    return h + std::string(id_length, 'I') + map + data;
  }
};

std::string bgr(int r, int g, int b) { return {char(b), char(g), char(r)}; }

// Loads through the core by type name, from a memory stream.
SDL_Surface* load(const std::string& bytes, const char* type = "TGA") {
  return IMG_LoadTyped_RW(SDL_RWFromConstMem(bytes.data(), int(bytes.size())), 1, type);
}

// Loads with the stream placed after a prefix, and reports where it was left.
SDL_Surface* load_at(const std::string& bytes, int prefix, int& position_after) {
  std::string all = std::string(prefix, 'P') + bytes;
  SDL_RWops* rw = SDL_RWFromConstMem(all.data(), int(all.size()));
  SDL_RWseek(rw, prefix, RW_SEEK_SET);
  SDL_Surface* s = IMG_LoadTGA_RW(rw);
  position_after = SDL_RWseek(rw, 0, RW_SEEK_CUR);
  SDL_RWclose(rw);
  return s;
}

const Uint8* pixel_at(const SDL_Surface* s, int x, int y) {
  return static_cast<const Uint8*>(s->pixels) + y * s->pitch + x * s->format->BytesPerPixel;
}
Uint32 raw_pixel(const SDL_Surface* s, int x, int y) {
  const Uint8* p = pixel_at(s, x, y);
  Uint32 v = 0;
  for (int i = s->format->BytesPerPixel - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}
// Red, green, blue of an 8-bit surface's pixel through its palette.
std::string palette_rgb(const SDL_Surface* s, int x, int y) {
  const SDL_Color& c = s->format->palette->colors[*pixel_at(s, x, y)];
  return {char(c.r), char(c.g), char(c.b)};
}

struct surface_ptr {
  SDL_Surface* s;
  explicit surface_ptr(SDL_Surface* p) : s(p) {}
  ~surface_ptr() {
    if (s) SDL_FreeSurface(s);
  }
  SDL_Surface* operator->() const { return s; }
  SDL_Surface* get() const { return s; }
};

// ---- Pictures written by ImageMagick --------------------------------------

// A picture of at most 200 colours (so it fits a colour map) with runs of one
// colour longer than a packet and stretches of changing colours, so that
// run-length files get both packet kinds.
struct source_picture {
  int width = 150;
  int height = 7;
  std::vector<Uint8> rgba;  // top row first

  source_picture() {
    rgba.resize(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        int j = (y % 2 == 0 && x < 131) ? y * 17 : (x * 7 + y * 31) % 200;
        Uint8* p = &rgba[(size_t(y) * width + x) * 4];
        p[0] = Uint8(j * 7);
        p[1] = Uint8(j * 13 + 40);
        p[2] = Uint8(j * 3 + 100);
        p[3] = Uint8(j * 37 % 256);
      }
  }
  const Uint8* at(int x, int y) const { return &rgba[(size_t(y) * width + x) * 4]; }
  Uint8 grey(int x, int y) const { return at(x, y)[0]; }

  void write_pam(const fs::path& path, bool alpha) const {
    std::ofstream f(path, std::ios::binary);
    f << "P7\nWIDTH " << width << "\nHEIGHT " << height << "\nDEPTH " << (alpha ? 4 : 3) << "\nMAXVAL 255\nTUPLTYPE "
      << (alpha ? "RGB_ALPHA" : "RGB") << "\nENDHDR\n";
    for (size_t i = 0; i < rgba.size(); i += 4) f.write(reinterpret_cast<const char*>(&rgba[i]), alpha ? 4 : 3);
  }
  void write_pgm(const fs::path& path) const {
    std::ofstream f(path, std::ios::binary);
    f << "P5\n" << width << " " << height << "\n255\n";
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) f.put(char(grey(x, y)));
  }
};

// The RGB samples of a binary PPM of the given size, or nothing.
std::vector<Uint8> read_ppm(const fs::path& path, int width, int height) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  int w = 0, h = 0, maxval = 0;
  f >> magic >> w >> h >> maxval;
  f.get();
  std::vector<Uint8> rgb(size_t(width) * height * 3);
  if (magic != "P6" || w != width || h != height || maxval != 255 ||
      !f.read(reinterpret_cast<char*>(rgb.data()), std::streamsize(rgb.size())))
    return {};
  return rgb;
}

// ImageMagick keeps the rows in the order it holds them and only records the
// orientation in the descriptor, so its bottom-up files are written from the
// flipped picture.
struct convert_case {
  const char* name;
  const char* options;
  const char* extension;  // any letter case reaches the TGA loader
  int image_type;
  int depth;
  bool top_down;
  enum { rgb, rgba, grey } source;
};

std::ostream& operator<<(std::ostream& o, const convert_case& c) { return o << c.name; }

class written_by_imagemagick : public ::testing::TestWithParam<convert_case> {
 protected:
  static fs::path dir() {
    fs::path d = fs::path(TEST_BINARY_DIR) / "img_tga_test_files";
    fs::create_directories(d);
    return d;
  }
};

TEST_P(written_by_imagemagick, loads_every_pixel_of_the_source) {
  const convert_case& c = GetParam();
  const source_picture src;
  const fs::path in = dir() / (std::string(c.name) + (c.source == convert_case::grey ? ".pgm" : ".pam"));
  const fs::path out = dir() / (std::string(c.name) + "." + c.extension);
  if (c.source == convert_case::grey)
    src.write_pgm(in);
  else
    src.write_pam(in, c.source == convert_case::rgba);
  const std::string command =
      std::string("'") + IMAGEMAGICK_CONVERT + "' '" + in.string() + "' " + c.options + " '" + out.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  // Make sure the file is of the kind this case is about.
  std::ifstream f(out, std::ios::binary);
  std::string header(18, '\0');
  f.read(header.data(), 18);
  ASSERT_EQ(Uint8(header[2]), c.image_type);
  ASSERT_EQ(Uint8(header[16]), c.depth);
  ASSERT_EQ((header[17] & 0x20) != 0, c.top_down);

  surface_ptr s(IMG_Load(out.c_str()));
  ASSERT_TRUE(s.get()) << SDL_GetError();
  ASSERT_EQ(s->w, src.width);
  ASSERT_EQ(s->h, src.height);
  const int bytes = (c.depth + 7) / 8;
  ASSERT_EQ(s->format->BytesPerPixel, bytes);

  // ImageMagick's reduction to 5 bits is its own affair, so 16-bit files are
  // compared with its decoding of the same file (undoing the flip, since it
  // reads rows in stored order as well).
  std::vector<Uint8> reference;
  if (bytes == 2) {
    const fs::path ppm = dir() / (std::string(c.name) + "_decoded.ppm");
    const std::string decode = std::string("'") + IMAGEMAGICK_CONVERT + "' '" + out.string() + "' " +
                               (c.top_down ? "" : "-flip ") + "-depth 8 '" + ppm.string() + "'";
    ASSERT_EQ(std::system(decode.c_str()), 0) << decode;
    reference = read_ppm(ppm, src.width, src.height);
    ASSERT_FALSE(reference.empty());
  }

  int wrong = 0;
  for (int y = 0; y < src.height; ++y)
    for (int x = 0; x < src.width; ++x) {
      const Uint8* want = src.at(x, y);
      std::string got, expected;
      if (c.source == convert_case::grey) {
        got = std::string(1, char(*pixel_at(s.get(), x, y))) + palette_rgb(s.get(), x, y);
        expected = std::string(4, char(src.grey(x, y)));
      } else if (bytes == 1) {
        got = palette_rgb(s.get(), x, y);
        expected = {char(want[0]), char(want[1]), char(want[2])};
      } else if (bytes == 2) {
        Uint32 v = raw_pixel(s.get(), x, y);
        got = {char(v >> 10 & 31), char(v >> 5 & 31), char(v & 31)};
        const Uint8* ref = &reference[(size_t(y) * src.width + x) * 3];
        for (int i = 0; i < 3; ++i) expected += char((ref[i] * 31 + 127) / 255);
      } else {
        Uint8 r, g, b, a;
        SDL_GetRGBA(raw_pixel(s.get(), x, y), s->format, &r, &g, &b, &a);
        got = {char(r), char(g), char(b), char(a)};
        expected = {char(want[0]), char(want[1]), char(want[2]), char(bytes == 4 ? want[3] : 255)};
      }
      if (got != expected && ++wrong <= 5) ADD_FAILURE() << "pixel " << x << "," << y;
    }
  EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(
    all_kinds, written_by_imagemagick,
    ::testing::Values(
        convert_case{"rgb24", "-flip -type TrueColor", "tga", 2, 24, false, convert_case::rgb},
        convert_case{"rgb24_top_down", "-orient TopLeft -type TrueColor", "TGA", 2, 24, true, convert_case::rgb},
        convert_case{"rgb24_rle", "-flip -compress RLE -type TrueColor", "Tga", 10, 24, false, convert_case::rgb},
        convert_case{"rgb24_rle_top_down", "-orient TopLeft -compress RLE -type TrueColor", "tga", 10, 24, true,
                     convert_case::rgb},
        convert_case{"rgba32", "-flip -type TrueColorAlpha", "tga", 2, 32, false, convert_case::rgba},
        convert_case{"rgba32_rle_top_down", "-orient TopLeft -compress RLE -type TrueColorAlpha", "tga", 10, 32, true,
                     convert_case::rgba},
        convert_case{"rgb16", "-flip -depth 5 -type TrueColor", "tga", 2, 16, false, convert_case::rgb},
        convert_case{"rgb16_rle", "-flip -depth 5 -compress RLE -type TrueColor", "tga", 10, 16, false,
                     convert_case::rgb},
        convert_case{"mapped", "-flip -type Palette", "tga", 1, 8, false, convert_case::rgb},
        convert_case{"mapped_rle_top_down", "-orient TopLeft -compress RLE -type Palette", "tga", 9, 8, true,
                     convert_case::rgb},
        convert_case{"grey", "-flip -type Grayscale", "tga", 3, 8, false, convert_case::grey},
        convert_case{"grey_rle", "-flip -compress RLE -type Grayscale", "tGA", 11, 8, false, convert_case::grey}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Hand-made files: depths and colour maps ImageMagick does not write ----

TEST(tga_layout, fifteen_and_sixteen_bit_pixels_are_copied_as_stored) {
  for (int depth : {15, 16}) {
    tga t;
    t.depth = depth;
    t.width = 2;
    t.data = "\x1F\x80\xE0\x03";  // blue with the top bit set, then green
    surface_ptr s(load(t.bytes()));
    ASSERT_TRUE(s.get());
    EXPECT_EQ(s->format->BytesPerPixel, 2);  // SDL may call a 5-5-5 surface 15 bits deep
    EXPECT_EQ(s->format->Rmask, 0x7C00u);
    EXPECT_EQ(s->format->Amask, 0u);
    EXPECT_EQ(raw_pixel(s.get(), 0, 0), 0x801Fu);  // the top bit stays, outside every mask
    EXPECT_EQ(raw_pixel(s.get(), 1, 0), 0x03E0u);
  }
}

TEST(tga_layout, id_and_a_colour_map_of_a_true_colour_picture_are_skipped) {
  tga t;
  t.id_length = 5;
  t.colour_map_type = 1;
  t.map_length = 3;
  t.map_depth = 24;
  t.map = std::string(9, '\x77');
  t.depth = 32;
  t.data = "\x01\x02\x03\x80";
  surface_ptr s(load(t.bytes()));
  ASSERT_TRUE(s.get());
  EXPECT_EQ(s->format->Amask, 0xFF000000u);
  EXPECT_EQ(raw_pixel(s.get(), 0, 0), 0x80030201u);

  t.image_type = 3;  // greyscale ignores a map too, and gets a grey ramp
  t.depth = 8;
  t.data = "\x42";
  surface_ptr g(load(t.bytes()));
  ASSERT_TRUE(g.get());
  EXPECT_EQ(g->format->palette->ncolors, 256);
  EXPECT_EQ(*pixel_at(g.get(), 0, 0), 0x42);
  EXPECT_EQ(palette_rgb(g.get(), 0, 0), "\x42\x42\x42");
}

tga mapped(int map_depth, const std::string& map, int entries) {
  tga t;
  t.colour_map_type = 1;
  t.image_type = 1;
  t.depth = 8;
  t.map_depth = map_depth;
  t.map_length = entries;
  t.map = map;
  t.width = entries;
  for (int i = 0; i < entries; ++i) t.data += char(i);
  return t;
}

TEST(tga_colour_map, sixteen_bit_entries_expand_to_the_top_bits) {
  for (int depth : {15, 16}) {
    // 0x7FFF white, 0x7C00 red, 0x03E0 green, 0x801F blue with the unused top bit
    surface_ptr s(load(mapped(depth, std::string("\xFF\x7F\x00\x7C\xE0\x03\x1F\x80", 8), 4).bytes()));
    ASSERT_TRUE(s.get());
    EXPECT_EQ(s->format->palette->ncolors, 4);
    EXPECT_EQ(palette_rgb(s.get(), 0, 0), "\xF8\xF8\xF8");
    EXPECT_EQ(palette_rgb(s.get(), 1, 0), std::string("\xF8\0\0", 3));
    EXPECT_EQ(palette_rgb(s.get(), 2, 0), std::string("\0\xF8\0", 3));
    EXPECT_EQ(palette_rgb(s.get(), 3, 0), std::string("\0\0\xF8", 3));
    EXPECT_FALSE(s->flags & SDL_SRCCOLORKEY);
  }
}

TEST(tga_colour_map, last_entry_with_alpha_below_128_is_the_colour_key) {
  auto map_with_alpha = [](std::vector<int> alphas) {
    std::string m;
    for (size_t i = 0; i < alphas.size(); ++i) m += bgr(int(i), 2 * int(i), 3 * int(i)) + char(alphas[i]);
    return mapped(32, m, int(alphas.size())).bytes();
  };
  {
    surface_ptr s(load(map_with_alpha({255, 255, 255, 255, 255, 0, 255, 128})));
    ASSERT_TRUE(s.get());
    EXPECT_EQ(palette_rgb(s.get(), 5, 0), "\x05\x0A\x0F");
    EXPECT_TRUE(s->flags & SDL_SRCCOLORKEY);
    EXPECT_EQ(s->format->colorkey, 5u);  // alpha 128 is opaque enough
  }
  {
    surface_ptr s(load(map_with_alpha({255, 255, 255, 255, 255, 0, 255, 255, 255, 127, 255})));
    EXPECT_EQ(s->format->colorkey, 9u);
  }
  {
    surface_ptr s(load(map_with_alpha({255, 128, 200})));
    EXPECT_FALSE(s->flags & SDL_SRCCOLORKEY);
  }
}

TEST(tga_colour_map, map_cut_short_or_of_odd_depth_loads) {
  tga t = mapped(24, bgr(9, 8, 7), 3);  // two entries missing, and no pixels
  t.width = 2;
  t.data.clear();
  surface_ptr s(load(t.bytes()));
  ASSERT_TRUE(s.get());
  EXPECT_EQ(s->format->palette->ncolors, 3);
  EXPECT_EQ(*pixel_at(s.get(), 1, 0), 0);

  // Entries of an 8-bit depth are read past and set nothing.
  tga odd = mapped(8, "\x01\x02", 2);
  surface_ptr o(load(odd.bytes()));
  ASSERT_TRUE(o.get());
  EXPECT_EQ(*pixel_at(o.get(), 1, 0), 1);

  surface_ptr empty(load(mapped(24, "", 0).bytes()));
  ASSERT_TRUE(empty.get());
  EXPECT_EQ(empty->format->palette->ncolors, 0);
}

// ---- Run-length packets ---------------------------------------------------

// A 1-byte-per-pixel run-length picture, so packets are easy to write.
tga grey_rle(int width, int height, const std::string& packets) {
  tga t;
  t.image_type = 11;
  t.depth = 8;
  t.width = width;
  t.height = height;
  t.descriptor = 0x20;
  t.data = packets;
  return t;
}

std::string grey_rows(const SDL_Surface* s) {
  std::string out;
  for (int y = 0; y < s->h; ++y)
    for (int x = 0; x < s->w; ++x) out += char(*pixel_at(s, x, y));
  return out;
}

TEST(tga_rle, packets_run_over_row_ends_and_the_rest_after_the_last_row_is_dropped) {
  // Repeat 4 on rows of 3, raw 3 across the row end, repeat 3 of which one is
  // left over at the end.
  const std::string packets =
      "\x83\x01"
      "\x02\x02\x03\x04"
      "\x82\x05";
  std::string file = grey_rle(3, 3, packets).bytes();
  int position = 0;
  surface_ptr s(load_at(file + "trailing", 4, position));
  ASSERT_TRUE(s.get());
  EXPECT_EQ(grey_rows(s.get()), "\x01\x01\x01\x01\x02\x03\x04\x05\x05");
  EXPECT_EQ(position, 4 + int(file.size()));  // trailing bytes stay unread

  // A raw packet longer than what is left: its extra pixels are not read.
  file = grey_rle(2, 2, std::string("\x05\x01\x02\x03\x04", 5)).bytes();
  surface_ptr r(load_at(file + "\x09\x09", 0, position));
  EXPECT_EQ(grey_rows(r.get()), "\x01\x02\x03\x04");
  EXPECT_EQ(position, int(file.size()));
}

TEST(tga_rle, raw_and_repeat_packets_of_one_and_of_128_pixels) {
  std::string raw128;
  for (int i = 0; i < 128; ++i) raw128 += char(i + 1);
  // Row 0: raw 1, repeat 128, raw 1 (130 pixels).
  // Row 1: repeat 1, raw 128, repeat 1.
  const std::string packets =
      std::string("\x00\xAA", 2) + "\xFF\xBB" + std::string("\x00\xCC", 2) + "\x80\xDD" + "\x7F" + raw128 + "\x80\xEE";
  surface_ptr s(load(grey_rle(130, 2, packets).bytes()));
  ASSERT_TRUE(s.get());
  const std::string want = "\xAA" + std::string(128, '\xBB') + "\xCC" + "\xDD" + raw128 + "\xEE";
  EXPECT_EQ(grey_rows(s.get()), want);
}

TEST(tga_short_file, file_that_ends_early_still_loads_with_the_rest_zero) {
  tga t;
  t.width = 2;
  t.height = 2;
  t.descriptor = 0x20;
  t.data = bgr(1, 2, 3) + bgr(4, 5, 6) + "\x07";  // one row and a byte
  surface_ptr s(load(t.bytes()));
  ASSERT_TRUE(s.get());
  EXPECT_EQ(raw_pixel(s.get(), 1, 0), 0x040506u);
  EXPECT_EQ(raw_pixel(s.get(), 1, 1), 0u);

  surface_ptr r(load(grey_rle(4, 2, "\x83\x09\x05").bytes()));  // raw packet of 6 without pixels
  ASSERT_TRUE(r.get());
  EXPECT_EQ(grey_rows(r.get()), std::string("\x09\x09\x09\x09\0\0\0\0", 8));
  surface_ptr p(load(grey_rle(4, 2, "\x83").bytes()));  // repeat packet without its pixel
  ASSERT_TRUE(p.get());
  EXPECT_EQ(grey_rows(p.get()), std::string(8, '\0'));
}

// ---- Refusals -------------------------------------------------------------

TEST(tga_refusal, unsupported_formats_leave_the_stream_where_it_was) {
  struct bad {
    const char* why;
    tga t;
  };
  std::vector<bad> cases;
  auto with = [&](const char* why, auto change) {
    tga t = mapped(24, bgr(1, 1, 1) + bgr(2, 2, 2), 2);
    change(t);
    cases.push_back({why, t});
  };
  for (int type : {0, 4, 8, 12, 32, 33, 255}) with("image type", [&](tga& t) { t.image_type = type; });
  for (int type : {1, 9}) {
    with("no colour map", [&](tga& t) { t.image_type = type, t.colour_map_type = 0; });
    with("257 entries", [&](tga& t) { t.image_type = type, t.map_length = 257; });
    with("16-bit indices", [&](tga& t) { t.image_type = type, t.depth = 16; });
  }
  for (int type : {2, 10})
    for (int depth : {0, 8, 17, 31, 33})
      with("true-colour depth", [&](tga& t) { t.image_type = type, t.depth = depth; });
  for (int type : {3, 11})
    for (int depth : {16, 24}) with("greyscale depth", [&](tga& t) { t.image_type = type, t.depth = depth; });
  for (int descriptor : {0x10, 0x40, 0x80, 0xC0, 0x30}) with("descriptor", [&](tga& t) { t.descriptor = descriptor; });

  for (const bad& c : cases) {
    SDL_ClearError();
    int position = -1;
    EXPECT_EQ(load_at(c.t.bytes(), 3, position), nullptr) << c.why;
    EXPECT_STREQ(SDL_GetError(), "Unsupported TGA format") << c.why;
    EXPECT_EQ(position, 3) << c.why;
  }
  tga ok = mapped(24, bgr(1, 1, 1) + bgr(2, 2, 2), 2);
  ok.map_length = 256;  // the largest map is fine, even cut short
  surface_ptr s(load(ok.bytes()));
  EXPECT_TRUE(s.get());
}

TEST(tga_refusal, short_header_is_a_read_error) {
  const std::string header = tga{}.bytes().substr(0, 17);
  int position = -1;
  EXPECT_EQ(load_at(header, 2, position), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Error reading TGA data");
  EXPECT_EQ(position, 2);
  EXPECT_EQ(IMG_LoadTGA_RW(nullptr), nullptr);
}

// SDL 1.2 keeps the pitch in 16 bits: a row of more than 65535 bytes would
// wrap it, and the loader would write past the pixels.
TEST(tga_refusal, rows_wider_than_a_surface_can_hold_are_out_of_memory) {
  struct wide {
    int type, depth, width, height;
  };
  for (wide w : {wide{2, 32, 16384, 1}, wide{10, 32, 65535, 2}, wide{2, 24, 21846, 1}, wide{10, 16, 32768, 1},
                 wide{3, 8, 65535, 1}, wide{11, 8, 65533, 1},
                 wide{2, 32, 16383, 65535}}) {  // pitch fits, but not height × pitch in an int
    tga t;
    t.image_type = w.type;
    t.depth = w.depth;
    t.width = w.width;
    t.height = w.height;
    t.data = std::string(64, '\x7F');
    int position = -1;
    SDL_ClearError();
    EXPECT_EQ(load_at(t.bytes(), 1, position), nullptr) << w.width;
    EXPECT_STREQ(SDL_GetError(), "Out of memory");
    EXPECT_EQ(position, 1);
  }
  // The widest rows that fit a pitch load, unless the SDL underneath limits
  // widths further (then they are out of memory too); 16383 is always fine.
  for (wide w : {wide{2, 32, 16383, 1}, wide{3, 8, 65532, 1}, wide{10, 24, 21845, 2}}) {
    tga t;
    t.image_type = w.type;
    t.depth = w.depth;
    t.width = w.width;
    t.height = w.height;
    t.descriptor = 0x20;
    t.data = w.type == 10 ? std::string("\xFF\x11\x22\x33\xFF\x11\x22\x33", 8) : std::string(8, '\x44');
    surface_ptr s(load(t.bytes()));
    if (w.width > 16383 && !s.get()) {
      EXPECT_STREQ(SDL_GetError(), "Out of memory");
      continue;
    }
    ASSERT_TRUE(s.get()) << w.width;
    EXPECT_GE(s->pitch, w.width * (w.depth / 8));
    EXPECT_EQ(*pixel_at(s.get(), 1, 0), w.type == 10 ? 0x11 : 0x44);
  }
}

TEST(tga_hostile, empty_pictures_load_and_read_nothing) {
  for (auto [w, h] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
    tga t = grey_rle(w, h, "\x83\x01");
    int position = -1;
    surface_ptr s(load_at(t.bytes(), 0, position));
    ASSERT_TRUE(s.get());
    EXPECT_EQ(s->w, w);
    EXPECT_EQ(s->h, h);
    EXPECT_EQ(position, 18);
  }
}

// Random headers within the supported kinds over random bodies: nothing may be
// written outside the surface (the sanitizer build watches), and every accepted
// file gives a surface of the header's size.
TEST(tga_hostile, random_files_never_write_outside_the_surface) {
  std::mt19937 rng(1234);
  auto byte = [&] { return int(rng() & 0xFF); };
  const int types[] = {1, 2, 3, 9, 10, 11};
  const int depths[] = {8, 15, 16, 24, 32};
  const int map_depths[] = {0, 8, 15, 16, 24, 32, 255};
  for (int i = 0; i < 3000; ++i) {
    tga t;
    t.image_type = types[rng() % 6];
    t.depth = t.image_type % 8 == 2 ? depths[1 + rng() % 4] : 8;
    t.colour_map_type = t.image_type % 8 == 1 || rng() % 4 == 0;
    t.map_length = t.image_type % 8 == 1 ? int(rng() % 257) : int(rng() % 40);
    t.map_depth = map_depths[rng() % 7];
    t.id_length = byte() % 8;
    t.width = int(rng() % 40);
    t.height = int(rng() % 40);
    t.descriptor = rng() % 2 ? 0x20 : 0;
    const int body = int(rng() % 3000);
    for (int k = 0; k < body; ++k) t.map += char(byte());
    surface_ptr s(load(t.bytes()));
    ASSERT_TRUE(s.get()) << i << ": " << SDL_GetError();
    EXPECT_EQ(s->w, t.width);
    EXPECT_EQ(s->h, t.height);
  }
}

// ---- The shared surface helper ----------------------------------------------

TEST(create_surface, refuses_what_a_16_bit_pitch_or_an_int_size_cannot_hold) {
  // The JPEG loader writes rows of exactly 4 × width bytes.
  SDL_Surface* s = img::create_surface(16383, 1, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->pitch, 4 * 16383);
  SDL_FreeSurface(s);
  EXPECT_EQ(img::create_surface(16384, 1, 32, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(img::create_surface(65536, 1, 8, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(img::create_surface(-1, 1, 8, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(img::create_surface(1, -1, 8, 0, 0, 0, 0), nullptr);
  EXPECT_EQ(img::create_surface(1000, 1 << 30, 32, 0, 0, 0, 0), nullptr);
}

// ---- Through the core -------------------------------------------------------

TEST(tga_through_core, only_the_type_name_reaches_the_tga_loader) {
  const fs::path dir = fs::path(TEST_BINARY_DIR) / "img_tga_test_files";
  fs::create_directories(dir);
  tga t;
  t.data = bgr(1, 2, 3);
  const std::string bytes = t.bytes();

  // A JPEG named .TGA goes to the TGA loader and fails there.
  const fs::path jpeg = dir / "jpeg_inside.jpg";
  const std::string command = std::string("'") + IMAGEMAGICK_CONVERT + "' -size 8x8 xc:red '" + jpeg.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const fs::path misnamed = dir / "x.TGA";
  fs::copy_file(jpeg, misnamed, fs::copy_options::overwrite_existing);
  SDL_ClearError();
  EXPECT_EQ(IMG_Load(misnamed.c_str()), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Unsupported TGA format");

  // Without a type a TGA is never recognised.
  EXPECT_EQ(IMG_Load_RW(SDL_RWFromConstMem(bytes.data(), int(bytes.size())), 1), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Unsupported image format");
  EXPECT_EQ(load(bytes, "tg"), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Unsupported image format");
  const fs::path no_dot = dir / "x";
  std::ofstream(no_dot, std::ios::binary) << bytes;
  EXPECT_EQ(IMG_Load(no_dot.c_str()), nullptr);
  EXPECT_STREQ(SDL_GetError(), "Unsupported image format");

  const fs::path named = dir / "y.tGa";
  std::ofstream(named, std::ios::binary) << bytes;
  surface_ptr s(IMG_Load(named.c_str()));
  ASSERT_TRUE(s.get());
  EXPECT_EQ(raw_pixel(s.get(), 0, 0), 0x010203u);
}

}  // namespace
