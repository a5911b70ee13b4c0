// The decoder object: pool arithmetic, the one stop, and the life cycle of
// the public operations.
#include "jpeg_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <random>
#include <vector>

// While set, allocations that may fail (new (std::nothrow)) fail.
bool fail_nothrow_new = false;

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_nothrow_new) return nullptr;
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

// Requests of every size, tiny to larger than a block, some zeroed: each
// comes back 4-byte aligned, zeroed where asked even over bytes that held
// something, and holding its size without touching another; small requests
// share blocks, and no block is far larger than what it must hold.
TEST(JpegPool, AllocationsAreAlignedDisjointAndZeroedWhereAsked) {
  jpeg::decode_pool pool;
  std::mt19937 rng(5);
  struct region {
    std::uint8_t* at;
    std::uint32_t size;
  };
  std::vector<region> regions;
  for (int i = 0; i < 600; ++i) {
    const std::uint32_t size = i % 60 == 59 ? 20000 + rng() % 40000 : rng() % 300;
    const bool zero = i % 3 == 0;
    if (zero) {
      // The newest block's free bytes: where a request that fits would go.
      jpeg::pool_block* b = const_cast<jpeg::pool_block*>(pool.blocks());
      if (b) std::memset(reinterpret_cast<std::uint8_t*>(b + 1) + b->used, 0xAA, b->capacity - b->used);
    }
    auto* at = static_cast<std::uint8_t*>(pool.allocate(size, zero));
    ASSERT_NE(at, nullptr) << i;
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % 4, 0u) << i;
    for (std::uint32_t k = 0; zero && k < size; ++k) ASSERT_EQ(at[k], 0) << i << " byte " << k;
    std::memset(at, i & 0xFF, size);
    regions.push_back({at, size});
  }
  for (std::size_t i = 0; i < regions.size(); ++i)
    for (std::uint32_t k = 0; k < regions[i].size; ++k) ASSERT_EQ(regions[i].at[k], i & 0xFF) << i << " byte " << k;
  int blocks = 0;
  for (const jpeg::pool_block* b = pool.blocks(); b != nullptr; b = b->next) {
    ++blocks;
    EXPECT_LE(b->used, b->capacity);
    EXPECT_LE(b->capacity, std::max(65536u, 2 * b->used));
  }
  EXPECT_LT(blocks, 40);  // of 600 requests, 10 of them large
}

TEST(JpegPool, OlderBlockServesWhatTheNewestCannot) {
  jpeg::decode_pool pool;
  auto* first = static_cast<std::uint8_t*>(pool.allocate(30000, false));   // block A: 2512 left
  auto* second = static_cast<std::uint8_t*>(pool.allocate(32000, false));  // block B: 512 left
  ASSERT_NE(pool.blocks()->next, nullptr);
  auto* third = static_cast<std::uint8_t*>(pool.allocate(2000, false));  // fits only A
  EXPECT_EQ(third, first + 30000);
  auto* fourth = static_cast<std::uint8_t*>(pool.allocate(500, false));  // B is newest, fits
  EXPECT_EQ(fourth, second + 32000);
  EXPECT_EQ(pool.blocks()->next->next, nullptr);
}

TEST(JpegPool, SizesThatWouldWrapAreRefusedAndLeaveThePoolAsItWas) {
  for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFF801u, 0xFFFFF900u}) {
    jpeg::decode_pool pool;
    pool.allocate(16, false);
    EXPECT_EQ(pool.allocate(size, false), nullptr) << size;
    ASSERT_NE(pool.blocks(), nullptr);
    EXPECT_EQ(pool.blocks()->next, nullptr);
    EXPECT_EQ(pool.blocks()->used, 16u);
  }
}

TEST(JpegEngine, StatusKeepsTheFirstFailure) {
  // A comment after the frame header runs past the first buffer load.
  chunk_stream stream(soi() + grey_tables() + grey_frame() + segment(0xFE, byte_string(20000, 0x41)));
  jpeg_decoder_engine engine(&stream);
  ASSERT_GT(access::heap_bytes(engine), 0u);  // the tables read
  EXPECT_EQ(abort_code([&] { access::abort_decode(engine, jpeg::scan_header_invalid); }), jpeg::scan_header_invalid);
  abort_code([&] { access::abort_decode(engine, jpeg::out_of_memory); });
  EXPECT_EQ(engine.status(), jpeg::scan_header_invalid);
  // The first released the pool and let the stream go: reads past the
  // buffer find none.
  EXPECT_EQ(access::heap_bytes(engine), 0u);
  const int calls = stream.calls;
  EXPECT_EQ(abort_code([&] {
              for (int i = 0; i < 10000; ++i) access::read_byte(engine);
            }),
            jpeg::input_read_failed);
  EXPECT_EQ(stream.calls, calls);
}

// A construction that fails on the frame header, or whose state cannot be
// allocated (out_of_memory, before anything is read).
TEST(JpegEngine, FailedConstructionRefusesEverythingAndNeverReadsAgain) {
  for (const bool state_allocated : {true, false}) {
    chunk_stream stream(soi() + frame_header(0xC0, 8, 8, {{1, 1, 1, 0}}, 12));
    fail_nothrow_new = !state_allocated;
    jpeg_decoder_engine engine(&stream);
    fail_nothrow_new = false;
    const int code = state_allocated ? jpeg::unsupported_precision : jpeg::out_of_memory;
    EXPECT_EQ(engine.status(), code);
    EXPECT_EQ(stream.calls == 0, !state_allocated);
    const int calls = stream.calls;
    EXPECT_EQ(engine.start_decoding(), -1);
    const std::uint8_t* line = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(engine.decode_row(&line, &length), -1);
    EXPECT_EQ(stream.calls, calls);
    EXPECT_EQ(engine.status(), code);
  }
}

TEST(JpegEngine, StartingTwiceDoesNothingTheSecondTime) {
  chunk_stream stream(grey_picture());
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.status(), 0);
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(engine.decode_row(&line, &length), -1);  // not started
  EXPECT_EQ(engine.start_decoding(), 0);
  const int calls = stream.calls;
  EXPECT_EQ(engine.start_decoding(), 0);
  EXPECT_EQ(stream.calls, calls);
  EXPECT_EQ(engine.status(), 0);
}

TEST(JpegEngine, FailureDuringStartIsReportedOnceAndKept) {
  // The scan names a DC table that was never defined.
  chunk_stream stream(soi() + grey_tables() + grey_frame() + scan_header({{1, 2, 0}}) + eoi());
  jpeg_decoder_engine engine(&stream);
  ASSERT_EQ(engine.status(), 0);
  EXPECT_EQ(engine.start_decoding(), -1);
  EXPECT_EQ(engine.status(), jpeg::huffman_table_missing);
  const int calls = stream.calls;
  EXPECT_EQ(engine.start_decoding(), -1);
  EXPECT_EQ(engine.decode_row(nullptr, nullptr), -1);
  EXPECT_EQ(stream.calls, calls);  // the stream is never read again
}

}  // namespace
