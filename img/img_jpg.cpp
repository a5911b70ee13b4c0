// The JPEG entry of the format table: the signature walk and the loader that
// has the decoder write straight into a new surface's pixels.
#include "img.h"
#include "jpg_loader.h"
#include "surface.h"

#include "jpeg_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace img {

namespace {

// The image layer's one way into the decoder: the picture in memory, its rows
// written where make_destination says once the decoder knows its size.
unsigned char* decode_jpeg(const unsigned char* data, int size, int* width, int* height, int* components, int requested,
                           jpeg::destination_maker make_destination, void* context) {
  jpeg::jpeg_decoder_mem_stream stream(data, static_cast<std::uint32_t>(size));
  return jpeg::decode_jpeg_to_destination(&stream, width, height, components, requested, make_destination, context);
}

// A new surface for the decoded picture, locked, its pixels the destination;
// null when the picture cannot have one.
unsigned char* make_surface(void* context, int width, int height, int) {
  SDL_Surface* surface = create_surface(width, height, 32, 0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000);
  if (surface && surface->pitch != 4 * width) {
    // Rows must be packed: the decoder writes height * 4 * width bytes in one run.
    SDL_FreeSurface(surface);
    surface = nullptr;
  }
  if (!surface) {
    SDL_SetError("Out of memory");  // as the TGA loader says for a surface SDL cannot hold
    return nullptr;
  }
  SDL_LockSurface(surface);
  *static_cast<SDL_Surface**>(context) = surface;
  return static_cast<unsigned char*>(surface->pixels);
}

const unsigned char* memory_of(SDL_RWops* src, const SDL_RWops* memory_stream) {
  const bool is_memory = memory_stream && src->seek == memory_stream->seek && src->read == memory_stream->read &&
                         src->close == memory_stream->close;
  return is_memory ? src->hidden.mem.base : nullptr;
}

// A stuffed 0xFF data byte; restart markers and a repeated start of image
// carry no length either.
bool carries_no_length(unsigned char code, bool inside_scan) {
  return (inside_scan && code == 0x00) || (code >= 0xD0 && code <= 0xD8);
}

// Passes a segment by its length; false where it runs past the data.
template <class Cursor>
bool skip_segment(Cursor& in) {
  unsigned char length[2];
  return in.read_pair(length) == 2 && in.skip(length[0] * 256 + length[1] - 2);
}

// The signature walk: from a start-of-image marker through the segments and
// the entropy-coded data to the end-of-image marker. Its answer is defined by
// a walk of two-byte reads and one-byte steps back; a cursor supplies reads
// and seeks that behave exactly like the stream's own, so each kind of stream
// gets the same answer and the same reads it would get from that walk.
template <class Cursor>
int walk_markers(Cursor& in) {
  unsigned char b[2];
  if (!in.read_object(b) || b[0] != 0xFF || b[1] != 0xD8) return 0;
  bool inside_scan = false;
  for (;;) {
    if (in.read_pair(b) != 2) return 0;          // the data ended before an end-of-image marker
    if (b[0] != 0xFF && !inside_scan) return 0;  // bytes between segments that are not a marker
    if (b[0] != 0xFF || b[1] == 0xFF) {
      // Entropy-coded data one byte at a time, or a fill byte before a marker.
      in.step_back();
      if (b[0] != 0xFF) in.pass_entropy_data();
      continue;
    }
    if (b[1] == 0xD9) return 1;
    if (carries_no_length(b[1], inside_scan)) continue;
    if (!skip_segment(in)) return 0;
    if (b[1] == 0xDA) inside_scan = true;
  }
}

// The stream itself, two bytes at a time. Used where the stream cannot tell
// its position: there every seek fails, and reading ahead would consume bytes
// that the walk never reads.
struct stream_cursor {
  SDL_RWops* src;

  bool read_object(unsigned char* b) { return SDL_RWread(src, b, 2, 1) == 1; }
  int read_pair(unsigned char* b) { return SDL_RWread(src, b, 1, 2); }
  void step_back() { SDL_RWseek(src, -1, RW_SEEK_CUR); }
  void pass_entropy_data() {}
  bool skip(int distance) {
    const int inner = SDL_RWseek(src, 0, RW_SEEK_CUR);
    return SDL_RWseek(src, distance, RW_SEEK_CUR) == inner + distance;
  }
};

// A seekable stream read a block at a time, the walk running in memory. A
// segment that runs past the data is found by the next read, which gets
// nothing, instead of by a seek that stops short: the answer is the same.
class block_cursor {
 public:
  block_cursor(SDL_RWops* src, int start) : src_(src), at_(start), stream_at_(start), block_at_(start) {}

  bool read_object(unsigned char* b) { return read_pair(b) == 2; }
  int read_pair(unsigned char* b) {
    const int n = available(2);
    std::memcpy(b, block_ + (at_ - block_at_), static_cast<std::size_t>(n));
    at_ += n;
    return n;
  }
  void step_back() { --at_; }
  // Inside a scan every byte up to the next 0xFF would be stepped over one
  // at a time.
  void pass_entropy_data() {
    while (available(1) == 1) {
      const unsigned char* here = block_ + (at_ - block_at_);
      const void* ff = std::memchr(here, 0xFF, static_cast<std::size_t>(block_at_ + block_size_ - at_));
      if (ff) {
        at_ += static_cast<int>(static_cast<const unsigned char*>(ff) - here);
        return;
      }
      at_ = block_at_ + block_size_;
    }
  }
  bool skip(int distance) {
    at_ += distance;
    return true;
  }

 private:
  // Up to n bytes from the current position, as many as the data hold.
  int available(int n) {
    if (at_ < block_at_ || at_ + n > block_at_ + block_size_) refill();
    return std::clamp(block_at_ + block_size_ - at_, 0, n);
  }
  void refill() {
    block_at_ = at_;
    block_size_ = 0;
    if (stream_at_ != at_ && SDL_RWseek(src_, at_, RW_SEEK_SET) != at_) {
      // Past the end of a stream that cannot be positioned there: no data.
      stream_at_ = -1;
      return;
    }
    const int got = SDL_RWread(src_, block_, 1, sizeof block_);
    block_size_ = std::max(got, 0);
    stream_at_ = at_ + block_size_;
  }

  SDL_RWops* src_;
  int at_;         // the walk's position in the stream
  int stream_at_;  // where the stream itself is, -1 when unknown
  int block_at_;   // the stream position of block_[0]
  int block_size_ = 0;
  unsigned char block_[4096];
};

}  // namespace

SDL_Surface* load_jpg(SDL_RWops* src, const SDL_RWops* memory_stream) {
  if (!src) return nullptr;
  int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  int end = SDL_RWseek(src, 0, RW_SEEK_END);
  if (start < 0 || end < start) return nullptr;
  int size = end - start;

  const unsigned char* data = memory_of(src, memory_stream);
  unsigned char* copy = nullptr;
  if (data) {
    data += start;
  } else {
    SDL_RWseek(src, start, RW_SEEK_SET);
    copy = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
    if (!copy) {
      SDL_SetError("Out of memory");
      return nullptr;
    }
    if (SDL_RWread(src, copy, 1, size) != size) {
      std::free(copy);
      SDL_SetError("Error reading JPEG data");
      return nullptr;
    }
    data = copy;
  }

  SDL_Surface* surface = nullptr;
  int width = 0, height = 0, components = 0;
  // One parse: the surface is made once the decoder has its size, and the
  // rows go straight into it. A decode that fails part way leaves the rows it
  // did not reach as the surface was made.
  decode_jpeg(data, size, &width, &height, &components, 4, make_surface, &surface);
  if (surface) SDL_UnlockSurface(surface);
  std::free(copy);
  return surface;
}

}  // namespace img

extern "C" {

int IMG_isJPG(SDL_RWops* src) {
  if (!src) return 0;
  const int start = SDL_RWseek(src, 0, RW_SEEK_CUR);
  int result;
  if (start < 0) {
    img::stream_cursor in{src};
    result = img::walk_markers(in);
  } else {
    img::block_cursor in(src, start);
    result = img::walk_markers(in);
  }
  SDL_RWseek(src, start, RW_SEEK_SET);
  return result;
}

SDL_Surface* IMG_LoadJPG_RW(SDL_RWops* src) {
  // Compatibility builds of the 1.2 API (version 1.2.50 and later) wrap every
  // stream alike and keep their data elsewhere: there every stream is read
  // into a buffer.
  const SDL_version* v = SDL_Linked_Version();
  static char probe_byte;
  SDL_RWops* memory_stream =
      v && v->major == 1 && v->minor == 2 && v->patch < 50 ? SDL_RWFromMem(&probe_byte, 1) : nullptr;
  SDL_Surface* surface = img::load_jpg(src, memory_stream);
  if (memory_stream) SDL_RWclose(memory_stream);
  return surface;
}

}  // extern "C"
