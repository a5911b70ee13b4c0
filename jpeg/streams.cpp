// The decoder's input streams: a file read through the runtime's buffered
// input, and a block of caller-owned memory.
#include "jpeg_decoder.h"

#include <cstdio>
#include <cstring>

namespace jpeg {

jpeg_decoder_stream::~jpeg_decoder_stream() = default;

jpeg_decoder_file_stream::~jpeg_decoder_file_stream() { close_file(); }

bool jpeg_decoder_file_stream::open_file(const char* file_name) {
  close_file();
  if (file_name == nullptr) return false;
  file_handle = std::fopen(file_name, "rb");
  return file_handle != nullptr;
}

void jpeg_decoder_file_stream::close_file() {
  if (file_handle != nullptr) {
    std::fclose(file_handle);
    file_handle = nullptr;
  }
  at_end = false;
  failed = false;
}

int jpeg_decoder_file_stream::read_bytes(std::uint8_t* buffer, int n, bool* end_flag) {
  // A negative count would become a huge size_t for fread.
  if (file_handle == nullptr || n < 0) return -1;
  if (at_end) {
    *end_flag = true;
    return 0;
  }
  if (failed) return -1;
  const int count = static_cast<int>(std::fread(buffer, 1, static_cast<std::size_t>(n), file_handle));
  if (count >= n) return count;
  if (std::ferror(file_handle)) {
    failed = true;
    return -1;
  }
  // Any short read without an error is the end of the file; it is not read
  // again, so a growing file cannot feed the decoder after its end.
  at_end = true;
  *end_flag = true;
  return count;
}

jpeg_decoder_mem_stream::jpeg_decoder_mem_stream(const std::uint8_t* pointer, std::uint32_t size)
    : memory(pointer), position(0), length(size) {}

bool jpeg_decoder_mem_stream::open_memory(const std::uint8_t* pointer, std::uint32_t size) {
  close_memory();
  memory = pointer;
  position = 0;
  length = size;
  return true;
}

void jpeg_decoder_mem_stream::close_memory() {
  memory = nullptr;
  position = 0;
  length = 0;
}

int jpeg_decoder_mem_stream::read_bytes(std::uint8_t* buffer, int n, bool* end_flag) {
  *end_flag = false;
  // A negative count is a caller error; read as unsigned it would hand out
  // everything left into a buffer of unknown size.
  if (memory == nullptr || n < 0) return -1;
  std::uint32_t count = static_cast<std::uint32_t>(n);
  const std::uint32_t left = length - position;
  if (count > left) {
    count = left;
    *end_flag = true;
  }
  if (count != 0) std::memcpy(buffer, memory + position, count);
  position += count;
  return static_cast<int>(count);
}

}  // namespace jpeg
