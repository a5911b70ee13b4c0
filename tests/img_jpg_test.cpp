// The JPEG entry of the image layer: the signature walk on crafted byte
// strings and real files, and the loader against the decoder's own output.
#include "img.h"
#include "jpeg_decoder.h"
#include "jpg_loader.h"
#include "own_stream.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <jpeglib.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = byte_string;

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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
  EXPECT_EQ(is_jpg(soi), 0);  // no end of image
  EXPECT_EQ(is_jpg(soi + eoi), 1);
  EXPECT_EQ(is_jpg(soi + bytes{0xFF} + eoi), 1);  // a fill byte
  EXPECT_EQ(is_jpg(bytes{0xFF, 0xD9}), 0);        // no start of image
  EXPECT_EQ(is_jpg(bytes{'x'}, 1), 0);            // nothing left to read
  EXPECT_EQ(is_jpg(soi + bytes{0x00} + eoi), 0);  // junk between segments
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00, 0x04, 1, 2} + eoi), 1);
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 0);  // runs past the data
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xE0, 0x00}), 0);                                       // short length field
  EXPECT_EQ(is_jpg(soi + bytes{0xFF, 0xD0, 0xFF, 0xD8} + eoi), 1);                           // markers without length
  EXPECT_EQ(is_jpg(bytes{'x', 'y'} + soi + eoi, 2), 1);  // from the current position
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

// The small hand-picked files of the decoder's fuzz corpus (every layout,
// progressive, restarts), without what the fuzzer added.
std::vector<bytes> seed_files() {
  std::vector<bytes> seeds;
  for (const auto& e : fs::directory_iterator(fs::path(PROJECT_ROOT) / "fuzz/corpus/fuzz_decode")) {
    const std::string name = e.path().filename().string();
    if (name.starts_with("seed_") || name.starts_with("crash_")) seeds.push_back(read_file(e.path()));
  }
  return seeds;
}

// The signature walk as first written: two-byte reads and one-byte steps back
// through the stream itself. The block walk must answer exactly like it.
int byte_walk(SDL_RWops* src) {
  int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  int result = 0;
  bool inside_scan = false;
  unsigned char b[2];
  if (SDL_RWread(src, b, 2, 1) == 1 && b[0] == 0xFF && b[1] == 0xD8) {
    result = 1;
    while (result == 1) {
      if (SDL_RWread(src, b, 1, 2) != 2) {
        result = 0;
      } else if (b[0] != 0xFF && !inside_scan) {
        result = 0;
      } else if (b[0] != 0xFF || b[1] == 0xFF) {
        SDL_RWseek(src, -1, RW_SEEK_CUR);
      } else if (b[1] == 0xD9) {
        break;
      } else if (inside_scan && b[1] == 0x00) {
      } else if (b[1] >= 0xD0 && b[1] <= 0xD8) {
      } else {
        unsigned char len[2];
        if (SDL_RWread(src, len, 1, 2) != 2) {
          result = 0;
        } else {
          int inner = SDL_RWseek(src, 0, RW_SEEK_CUR);
          int length = len[0] * 256 + len[1];
          int end = SDL_RWseek(src, length - 2, RW_SEEK_CUR);
          if (end != inner + length - 2) result = 0;
          if (b[1] == 0xDA) inside_scan = true;
        }
      }
    }
  }
  SDL_RWseek(src, start, RW_SEEK_SET);
  return result;
}

// Both walks over the same bytes, from memory at an offset, from a file, and
// from a stream that cannot seek (where the bytes each consumed must agree).
void expect_same_walk(const bytes& b, const std::string& what, bool also_file) {
  if (b.empty()) return;  // SDL makes no stream over no memory
  const bytes prefixed = bytes{'j', 'u', 'n', 'k'} + b;
  for (int start : {0, 4}) {
    const bytes& data = start ? prefixed : b;
    SDL_RWops* rw = SDL_RWFromConstMem(data.data(), static_cast<int>(data.size()));
    SDL_RWseek(rw, start, RW_SEEK_SET);
    const int want = byte_walk(rw);
    ASSERT_EQ(IMG_isJPG(rw), want) << what << " from offset " << start;
    ASSERT_EQ(SDL_RWseek(rw, 0, RW_SEEK_CUR), start) << what;
    SDL_RWclose(rw);
  }
  own_stream pipe_a{.seekable = false}, pipe_b{.seekable = false};
  SDL_RWops* a = pipe_a.open(b.data(), static_cast<int>(b.size()));
  SDL_RWops* c = pipe_b.open(b.data(), static_cast<int>(b.size()));
  ASSERT_EQ(IMG_isJPG(a), byte_walk(c)) << what << " without seeking";
  ASSERT_EQ(SDL_RWtell(pipe_a.inner), SDL_RWtell(pipe_b.inner)) << what;
  SDL_RWclose(a);
  SDL_RWclose(c);
  if (also_file) {
    fs::path p = fs::temp_directory_path() / ("jpegwalk" + std::to_string(::getpid()));
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
    SDL_RWops* rw = SDL_RWFromFile(p.c_str(), "rb");
    const int want = byte_walk(rw);
    ASSERT_EQ(IMG_isJPG(rw), want) << what << " from a file";
    ASSERT_EQ(SDL_RWseek(rw, 0, RW_SEEK_CUR), 0) << what;
    SDL_RWclose(rw);
    fs::remove(p);
  }
}

TEST(is_jpg, block_walk_answers_like_the_byte_walk_on_real_damaged_and_cut_files) {
  for (const auto& e : fs::directory_iterator(fs::path(PROJECT_ROOT) / "data")) {
    if (e.path().extension() == ".jpg") expect_same_walk(read_file(e.path()), e.path().string(), true);
  }
  std::vector<bytes> seeds = {encode(300, 200, 3), encode(64, 48, 1)};
  for (const bytes& seed : seed_files()) seeds.push_back(seed);
  std::srand(8);
  const unsigned char hot[] = {0xFF, 0xD9, 0xDA, 0x00, 0xD0, 0xD8, 0xC4, 0x01};
  for (std::size_t n = 0; n < seeds.size(); ++n) {
    const bytes& seed = seeds[n];
    for (int m = 0; m < 60; ++m) {
      bytes b = seed;
      const int edits = 1 + std::rand() % 4;
      for (int k = 0; k < edits && !b.empty(); ++k) {
        const std::size_t at = static_cast<std::size_t>(std::rand()) % b.size();
        switch (std::rand() % 4) {
          case 0: b[at] = hot[std::rand() % sizeof hot]; break;
          case 1: b[at] = static_cast<unsigned char>(std::rand()); break;
          case 2: b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), 0xFF); break;  // a fill byte
          default: b.resize(at); break;                                                // cut short
        }
      }
      expect_same_walk(b, "seed " + std::to_string(n) + " mutant " + std::to_string(m), m < 3);
    }
  }
}

Uint32 pixel(const SDL_Surface* s, int x, int y) { return static_cast<const Uint32*>(s->pixels)[y * s->pitch / 4 + x]; }

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
    unsigned char* want =
        jpeg::decode_jpeg_from_memory(file.data(), static_cast<int>(file.size()), &w, &h, &c, 4, nullptr);
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

// The loader as first written: a size query, then a second decode into the
// new surface's pixels, whose result is ignored.
SDL_Surface* two_pass_load(const bytes& b) {
  int w, h, c;
  const int size = static_cast<int>(b.size());
  if (!jpeg::decode_jpeg_from_memory(b.data(), size, &w, &h, &c, 4, reinterpret_cast<unsigned char*>(1)))
    return nullptr;
  SDL_Surface* s = SDL_CreateRGBSurface(0, w, h, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
  jpeg::decode_jpeg_from_memory(b.data(), size, &w, &h, &c, 4, static_cast<unsigned char*>(s->pixels));
  return s;
}

TEST(load_jpg, one_pass_gives_what_the_two_pass_loader_gave_on_good_refused_and_broken_files) {
  std::vector<bytes> files = {encode(45, 33, 3), encode(20, 9, 1)};
  for (const char* name : {"egyenlo.jpg", "function1.jpg", "kick1.jpg"}) {  // progressive, progressive, baseline
    files.push_back(read_file(fs::path(PROJECT_ROOT) / "data" / name));
  }
  for (const bytes& seed : seed_files()) files.push_back(seed);
  std::srand(9);
  int refused = 0, failed_part_way = 0, whole = 0;
  auto check = [&](const bytes& b, const std::string& what) {
    SDL_Surface* want = two_pass_load(b);
    SDL_RWops* rw = SDL_RWFromConstMem(b.data(), static_cast<int>(b.size()));
    SDL_Surface* got = IMG_LoadJPG_RW(rw);
    SDL_RWclose(rw);
    ASSERT_EQ(got == nullptr, want == nullptr) << what;
    if (want) {
      ASSERT_EQ(got->w, want->w) << what;
      ASSERT_EQ(got->h, want->h) << what;
      ASSERT_EQ(std::memcmp(got->pixels, want->pixels, static_cast<std::size_t>(want->pitch) * want->h), 0) << what;
      int w, h, c;
      unsigned char* all = jpeg::decode_jpeg_from_memory(b.data(), static_cast<int>(b.size()), &w, &h, &c, 4, nullptr);
      ++(all ? whole : failed_part_way);
      std::free(all);
    } else {
      ++refused;
    }
    SDL_FreeSurface(want);
    SDL_FreeSurface(got);
  };
  for (std::size_t n = 0; n < files.size(); ++n) {
    const bytes& file = files[n];
    check(file, "file " + std::to_string(n));
    if (file.size() < 2) continue;  // nothing to cut or damage
    for (int m = 0; m < (file.size() > 100000 ? 3 : 25); ++m) {
      bytes b = file;
      if (m % 3 == 0) {
        b.resize(1 + std::rand() % (b.size() - 1));
      } else {
        // Damage the second half, where the entropy-coded data are.
        for (int k = 0; k < 1 + m % 4; ++k)
          b[b.size() / 2 + std::rand() % (b.size() / 2)] = static_cast<unsigned char>(std::rand());
      }
      check(b, "file " + std::to_string(n) + " mutant " + std::to_string(m));
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(failed_part_way, 0);
  EXPECT_GT(whole, 0);
}

// A memory stream as classic SDL 1.2 lays it out: its bytes in hidden.mem,
// positioned and read by its own functions, which count the bytes they read.
struct classic_memory_stream {
  static inline int bytes_read = 0;
  SDL_RWops rw{};

  explicit classic_memory_stream(bytes& b) {
    rw.seek = [](SDL_RWops* c, int offset, int whence) {
      Uint8* from = whence == RW_SEEK_SET   ? c->hidden.mem.base
                    : whence == RW_SEEK_CUR ? c->hidden.mem.here
                                            : c->hidden.mem.stop;
      c->hidden.mem.here = std::clamp(from + offset, c->hidden.mem.base, c->hidden.mem.stop);
      return static_cast<int>(c->hidden.mem.here - c->hidden.mem.base);
    };
    rw.read = [](SDL_RWops* c, void* ptr, int size, int n) {
      const int got = std::min(size * n, static_cast<int>(c->hidden.mem.stop - c->hidden.mem.here)) / size;
      std::memcpy(ptr, c->hidden.mem.here, static_cast<std::size_t>(got * size));
      c->hidden.mem.here += got * size;
      bytes_read += got * size;
      return got;
    };
    rw.close = [](SDL_RWops*) { return 0; };
    rw.hidden.mem.base = rw.hidden.mem.here = b.data();
    rw.hidden.mem.stop = b.data() + b.size();
  }
};

// Recognised by its functions, a classic memory stream is decoded where its
// bytes lie, from where the stream stands; any other stream is read into a
// buffer. Either way the same picture, and the stream is left at its end.
TEST(load_jpg, classic_memory_streams_are_decoded_in_place) {
  const bytes picture = encode(45, 33, 3);
  bytes b = bytes(7, 0xD8) + picture;
  classic_memory_stream src(b), same_kind(b);
  SDL_RWops* other_kind = SDL_RWFromMem(b.data(), static_cast<int>(b.size()));
  SDL_Surface* want = load(picture);
  ASSERT_NE(want, nullptr);
  for (const SDL_RWops* memory_stream : {&same_kind.rw, other_kind}) {
    const bool in_place = memory_stream == &same_kind.rw;
    SDL_RWseek(&src.rw, 7, RW_SEEK_SET);
    classic_memory_stream::bytes_read = 0;
    SDL_Surface* got = img::load_jpg(&src.rw, memory_stream);
    ASSERT_NE(got, nullptr) << in_place;
    EXPECT_EQ(classic_memory_stream::bytes_read, in_place ? 0 : static_cast<int>(picture.size()));
    EXPECT_EQ(SDL_RWtell(&src.rw), static_cast<int>(b.size())) << in_place;
    ASSERT_EQ(got->w * got->h, want->w * want->h);
    EXPECT_EQ(std::memcmp(got->pixels, want->pixels, static_cast<std::size_t>(want->pitch) * want->h), 0) << in_place;
    SDL_FreeSurface(got);
  }
  SDL_FreeSurface(want);
  SDL_RWclose(other_kind);
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
