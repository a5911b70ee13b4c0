// The JPEG entry of the image layer: the signature walk on crafted byte
// strings and real files, and the loader against the decoder's own output.
#include "img.h"
#include "jpeg_decoder.h"

#include <gtest/gtest.h>

#include <jpeglib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<unsigned char>;

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A picture encoded by the reference library: a smooth pattern, quality 90.
bytes encode(int width, int height, int components) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = width;
  c.image_height = height;
  c.input_components = components;
  c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  std::vector<JSAMPLE> row(static_cast<size_t>(width) * components);
  while (c.next_scanline < c.image_height) {
    for (int x = 0; x < width * components; ++x) row[x] = static_cast<JSAMPLE>((x * 7 + c.next_scanline * 3) & 0xFF);
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&c, rows, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  bytes result(out, out + size);
  std::free(out);
  return result;
}

int is_jpg(const bytes& b, int start = 0) {
  SDL_RWops* rw = SDL_RWFromConstMem(b.data(), static_cast<int>(b.size()));
  SDL_RWseek(rw, start, RW_SEEK_SET);
  int result = IMG_isJPG(rw);
  EXPECT_EQ(SDL_RWseek(rw, 0, RW_SEEK_CUR), start) << "the walk restores the position";
  SDL_RWclose(rw);
  return result;
}

const bytes soi{0xFF, 0xD8}, eoi{0xFF, 0xD9};

TEST(is_jpg, walks_the_marker_structure_to_the_end_of_image) {
  EXPECT_EQ(is_jpg(soi), 0);                                 // no end of image
  EXPECT_EQ(is_jpg(soi + eoi), 1);
  EXPECT_EQ(is_jpg(soi + bytes{0xFF} + eoi), 1);              // a fill byte
  EXPECT_EQ(is_jpg(bytes{0xFF, 0xD9}), 0);                   // no start of image
  EXPECT_EQ(is_jpg(bytes{'x'}, 1), 0);                        // nothing left to read
  EXPECT_EQ(is_jpg(soi + bytes{0x00} + eoi), 0);              // junk between segments
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00, 0x04, 1, 2} + eoi), 1);
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 0);  // runs past the data
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00}), 0);        // short length field
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xD0, 0xFF, 0xD8} + eoi), 1);  // markers without length
  EXPECT_EQ(is_jpg(bytes{'x', 'y'} + soi + eoi, 2), 1);       // from the current position
}

TEST(is_jpg, passes_over_stuffing_restarts_and_segments_inside_scan_data) {
  const bytes sos{0xFF, 0xDA, 0x00, 0x03, 0x01};
  EXPECT_EQ(is_jpg(soi + sos + bytes{0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD3, 0x56} + eoi), 1);
  // A table between progressive scans is skipped by its length.
  EXPECT_EQ(is_jpg(soi + sos + bytes{0x11, 0xFF, 0xC4, 0x00, 0x04, 0xFF, 0xD9, 0x22} + sos + bytes{0x33} + eoi), 1);
  EXPECT_EQ(is_jpg(soi + sos + bytes{0x12, 0x34}), 0);
  EXPECT_EQ(is_jpg(soi + sos + bytes{0xFF, 0xFF, 0xFF} + eoi), 1);
}

TEST(is_jpg, accepts_every_bundled_picture_from_file_and_memory) {
  for (const auto& e : fs::directory_iterator(fs::path(PROJECT_ROOT) / "data")) {
    if (e.path().extension() != ".jpg") continue;
    EXPECT_EQ(is_jpg(read_file(e.path())), 1) << e.path();
    SDL_RWops* rw = SDL_RWFromFile(e.path().c_str(), "rb");
    EXPECT_EQ(IMG_isJPG(rw), 1) << e.path();
    SDL_RWclose(rw);
  }
  EXPECT_EQ(IMG_isJPG(nullptr), 0);
}

Uint32 pixel(const SDL_Surface* s, int x, int y) {
  return static_cast<const Uint32*>(s->pixels)[y * s->pitch / 4 + x];
}

SDL_Surface* load(const bytes& b, const char* type = nullptr) {
  return IMG_LoadTyped_RW(SDL_RWFromConstMem(b.data(), static_cast<int>(b.size())), 1, type);
}

TEST(load_jpg, surface_holds_the_decoders_rgba_output_exactly) {
  for (int components : {1, 3}) {
    bytes file = encode(37, 19, components);
    SDL_Surface* s = load(file, "png");  // recognised by content, whatever the type says
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->w, 37);
    EXPECT_EQ(s->h, 19);
    EXPECT_EQ(s->format->BitsPerPixel, 32);
    EXPECT_EQ(s->format->Rmask, 0x000000FFu);
    EXPECT_EQ(s->format->Amask, 0xFF000000u);
    int w, h, c;
    unsigned char* want = jpeg::decode_jpeg_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &c, 4, nullptr);
    ASSERT_NE(want, nullptr);
    for (int y = 0; y < h; ++y) {
      ASSERT_EQ(std::memcmp(static_cast<unsigned char*>(s->pixels) + y * s->pitch, want + y * 4 * w, 4 * w), 0) << y;
      for (int x = 0; x < w; ++x) {
        Uint32 p = pixel(s, x, y);
        ASSERT_EQ(p >> 24, 255u);
        if (components == 1) {
          ASSERT_TRUE((p & 0xFF) == (p >> 8 & 0xFF) && (p & 0xFF) == (p >> 16 & 0xFF));
        }
      }
    }
    std::free(want);
    SDL_FreeSurface(s);
  }
}

TEST(load_jpg, bundled_pictures_load_through_img_load) {
  for (const char* name : {"murvtabla.jpg", "murvhat.jpg", "kick1.jpg", "kick2.jpg", "sun.jpg", "murv.jpg",
                           // progressive
                           "egyenlo.jpg", "murvparaszt.jpg", "function1.jpg", "function3.jpg"}) {
    SDL_Surface* s = IMG_Load((std::string(PROJECT_ROOT) + "/data/" + name).c_str());
    ASSERT_NE(s, nullptr) << name << ": " << SDL_GetError();
    EXPECT_EQ(s->w, 1024);
    EXPECT_EQ(s->h, 768);
    SDL_FreeSurface(s);
  }
}

TEST(load_jpg, broken_headers_and_failed_reads_give_null) {
  SDL_SetError("before");
  EXPECT_EQ(load(soi + eoi), nullptr);
  EXPECT_STREQ(SDL_GetError(), "before") << "a failed size query sets no text of its own";
  EXPECT_EQ(IMG_LoadJPG_RW(nullptr), nullptr);

  // A stream that claims more bytes than it can deliver.
  bytes file = encode(16, 16, 3);
  SDL_RWops* rw = SDL_AllocRW();
  static const bytes* data = nullptr;
  static int position = 0;
  data = &file;
  position = 0;
  rw->seek = [](SDL_RWops*, int offset, int whence) {
    int base = whence == RW_SEEK_SET ? 0 : whence == RW_SEEK_CUR ? position : static_cast<int>(data->size());
    position = base + offset;
    return position;
  };
  rw->read = [](SDL_RWops*, void* ptr, int size, int n) {
    int got = std::min<int>(size * n, static_cast<int>(data->size()) - position) / 2;  // only half arrives
    std::memcpy(ptr, data->data() + position, got);
    position += got;
    return got / size;
  };
  rw->close = [](SDL_RWops* ctx) {
    SDL_FreeRW(ctx);
    return 0;
  };
  EXPECT_EQ(IMG_LoadJPG_RW(rw), nullptr);
  rw->close(rw);
}

TEST(load_jpg, pictures_wider_than_a_surface_row_can_hold_are_refused) {
  // 16384 pixels of 4 bytes need a 65536-byte pitch, one more than SDL 1.2 can store.
  bytes file = encode(16384, 8, 1);
  SDL_SetError("before");
  SDL_Surface* s = load(file);
  EXPECT_EQ(s, nullptr);
  if (s) SDL_FreeSurface(s);
  EXPECT_STREQ(SDL_GetError(), "Out of memory");
}

TEST(load_jpg, file_without_a_dot_loads_by_content) {
  fs::path p = fs::temp_directory_path() / ("jpegnodot" + std::to_string(::getpid()));
  bytes file = encode(8, 8, 3);
  std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  SDL_Surface* s = IMG_Load(p.c_str());
  EXPECT_NE(s, nullptr);
  SDL_FreeSurface(s);
  fs::remove(p);
}

}  // namespace
