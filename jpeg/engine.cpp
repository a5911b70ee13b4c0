// The decoder object: life cycle of the public operations, the memory pool
// and the single stop operation every failure goes through.
#include "engine_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <typeinfo>

namespace jpeg {

const char* status_code_name(int code) {
  switch (code) {
    case status_ok: return "ok";
#define JPEG_STATUS_NAME(name, value) \
  case name: return #name;
      JPEG_STATUS_CODES(JPEG_STATUS_NAME)
#undef JPEG_STATUS_NAME
  }
  return "unknown";
}

engine_core::engine_core(jpeg_decoder_stream* new_stream, const decoder_limits& new_limits) noexcept(true)
    : limits(new_limits) {
  // Not a class derived from it, whose reading may differ. The class's type
  // information is defined once, in this library (beside read_bytes, its
  // first virtual function defined out of line), so its address tells it;
  // comparing addresses also calls nothing that an unoptimised build would
  // export from here.
  if (new_stream != nullptr && &typeid(*new_stream) == &typeid(jpeg_decoder_mem_stream)) {
    shared.memory = static_cast<jpeg_decoder_mem_stream*>(new_stream);
    shared.first_position = shared.memory->position;
    if (shared.memory->memory != nullptr) {
      shared.data = shared.memory->memory + shared.first_position;
      shared.size = shared.memory->length - shared.first_position;
    }
  }
  try {
    reset_state(new_stream);
    find_frame_header();
    const auto pixels = static_cast<std::uint64_t>(frame.width) * static_cast<std::uint64_t>(frame.height);
    if (limits.max_pixels != 0 && pixels > limits.max_pixels) abort_decode(picture_too_large);
  } catch (const decode_abort&) {
    // status_ holds the code and the pool is already released.
  }
}

engine_core::~engine_core() { release_pool(); }

int engine_core::set_scale(int denominator) noexcept(true) {
  if (status_ != 0 || decoding_started) return -1;
  for (int shift = 0; shift <= 3; ++shift) {
    if (denominator == 1 << shift) {
      scale_shift = shift;
      return 0;
    }
  }
  return -1;
}

int engine_core::start_decoding() noexcept(true) {
  if (decoding_started) return 0;
  if (status_ != 0) return -1;
  try {
    prepare_decoding();
  } catch (const decode_abort&) {
    if (!decode_again_on_one_thread()) return -1;
  }
  decoding_started = true;
  return 0;
}

// The public object: each operation goes once through the handle.
jpeg_decoder_engine::jpeg_decoder_engine(jpeg_decoder_stream* new_stream) noexcept(true)
    : jpeg_decoder_engine(new_stream, decoder_limits{}) {}

jpeg_decoder_engine::jpeg_decoder_engine(jpeg_decoder_stream* new_stream,
                                         const decoder_limits& new_limits) noexcept(true)
    : core(new (std::nothrow) engine_core(new_stream, new_limits)) {}

jpeg_decoder_engine::~jpeg_decoder_engine() { delete core; }

int jpeg_decoder_engine::status() const noexcept(true) { return core == nullptr ? out_of_memory : core->status(); }
int jpeg_decoder_engine::width() const noexcept(true) { return core == nullptr ? 0 : core->width(); }
int jpeg_decoder_engine::height() const noexcept(true) { return core == nullptr ? 0 : core->height(); }
int jpeg_decoder_engine::component_count() const noexcept(true) {
  return core == nullptr ? 0 : core->component_count();
}

int jpeg_decoder_engine::set_scale(int denominator) noexcept(true) {
  return core == nullptr ? -1 : core->set_scale(denominator);
}

int jpeg_decoder_engine::start_decoding() noexcept(true) { return core == nullptr ? -1 : core->start_decoding(); }

int jpeg_decoder_engine::decode_row(const std::uint8_t** line, std::uint32_t* length) noexcept(true) {
  return core == nullptr ? -1 : core->decode_row(line, length);
}

void engine_core::abort_decode(int code) {
  // A thread reading rows for the ring, the caller's own included, leaves
  // the failure to the caller, which reports it on the row where it happened.
  if (failures_deferred()) throw decode_abort{code};
  // Only the first failure is kept: a later one is a consequence of it.
  if (status_ == 0) status_ = code;
  release_pool();
  throw decode_abort{code};
}

thread_local int detail::pool_allocations_left = -1;

void* decode_pool::allocate(std::uint32_t size, bool zero) noexcept(true) {
  if (detail::pool_allocations_left == 0) [[unlikely]]
    return nullptr;
  if (detail::pool_allocations_left > 0) --detail::pool_allocations_left;
  // Rounding a size near 2^32 up to a multiple of 4 (or of the block step)
  // would wrap to a tiny block; such requests can only come from hostile
  // sizes.
  if (size > UINT32_MAX - 3) return nullptr;
  const std::uint32_t rounded = ((size == 0 ? 1u : size) + 3u) & ~3u;

  for (pool_block* block = newest; block != nullptr; block = block->next) {
    if (rounded <= block->capacity - block->used) {
      std::uint8_t* result = reinterpret_cast<std::uint8_t*>(block + 1) + block->used;
      block->used += rounded;
      if (zero) std::memset(result, 0, rounded);
      return result;
    }
  }

  if (rounded > UINT32_MAX - (pool_capacity_step - 1)) return nullptr;
  std::uint32_t capacity = (rounded + (pool_capacity_step - 1)) & ~(pool_capacity_step - 1);
  if (capacity < pool_min_capacity) capacity = pool_min_capacity;
  if (capacity > SIZE_MAX - sizeof(pool_block)) return nullptr;
  // A block that must start zeroed is asked for zeroed: the heap hands out
  // large blocks as fresh pages of the system that stay untouched until
  // written, so the progressive coefficient stores cost memory only where
  // scans fill them.
  auto* block = static_cast<pool_block*>(zero ? std::calloc(1, sizeof(pool_block) + capacity)
                                              : std::malloc(sizeof(pool_block) + capacity));
  if (block == nullptr) return nullptr;
  block->next = newest;
  block->used = rounded;
  block->capacity = capacity;
  newest = block;
  return block + 1;
}

void decode_pool::release() noexcept(true) {
  pool_block* block = newest;
  while (block != nullptr) {
    pool_block* next = block->next;
    std::free(block);
    block = next;
  }
  newest = nullptr;
}

void* engine_core::pool_alloc(std::uint32_t size, bool zero) {
  void* result = pool.allocate(size, zero);
  if (result == nullptr) abort_decode(out_of_memory);
  return result;
}

void* engine_core::pool_alloc_array(std::uint32_t count, std::uint32_t element_size, bool zero) {
  const std::uint64_t bytes = static_cast<std::uint64_t>(count) * element_size;
  if (bytes > UINT32_MAX) abort_decode(out_of_memory);
  return pool_alloc(static_cast<std::uint32_t>(bytes), zero);
}

void engine_core::release_pool() {
  // The workers use the pool's buffers and read the stream.
  stop_row_threads();
  // After a release the caller's stream is never touched again.
  stream = nullptr;
  pool.release();
}

}  // namespace jpeg
