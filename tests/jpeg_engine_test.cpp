// The decoder object: pool arithmetic, the one stop, and the life cycle of
// the public operations.
#include "jpeg_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using jpeg::engine_test_access;
using jpeg::jpeg_decoder_engine;
using access = engine_test_access;

// An engine with an empty pool and nothing read yet.
struct fresh_engine {
  chunk_stream stream{grey_picture()};
  jpeg_decoder_engine engine{nullptr};
  fresh_engine() { access::reset(engine, &stream); }
};

std::uint32_t used_of(const jpeg::pool_block* b) { return b->used; }

TEST(JpegPool, TinyRequestsTakeFourBytes) {
  fresh_engine f;
  auto* a = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 0, false));
  auto* b = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 1, false));
  auto* c = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 5, false));
  auto* d = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 4, false));
  EXPECT_EQ(b - a, 4);
  EXPECT_EQ(c - b, 4);
  EXPECT_EQ(d - c, 8);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 4, 0u);
  EXPECT_EQ(used_of(access::pool_blocks(f.engine)), 20u);
  EXPECT_EQ(access::pool_blocks(f.engine)->next, nullptr);
}

TEST(JpegPool, BlockSizes) {
  struct {
    std::uint32_t request, capacity;
  } cases[] = {
      {1, 32512},         {15 * 2048, 32512},           {15 * 2048 + 1, 32768},
      {16 * 2048, 32768}, {20 * 2048 - 960, 20 * 2048}, {20 * 2048 + 1, 21 * 2048},
  };
  for (const auto& c : cases) {
    fresh_engine f;
    access::pool_alloc(f.engine, c.request, false);
    const jpeg::pool_block* block = access::pool_blocks(f.engine);
    EXPECT_EQ(block->capacity, c.capacity) << c.request;
    EXPECT_EQ(block->used, (c.request + 3) & ~3u) << c.request;
  }
}

TEST(JpegPool, OlderBlockServesWhatTheNewestCannot) {
  fresh_engine f;
  auto* first = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 30000, false));   // block A: 2512 left
  auto* second = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 32000, false));  // block B: 512 left
  ASSERT_NE(access::pool_blocks(f.engine)->next, nullptr);
  auto* third = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 2000, false));  // fits only A
  EXPECT_EQ(third, first + 30000);
  auto* fourth = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 500, false));  // B is newest, fits
  EXPECT_EQ(fourth, second + 32000);
  EXPECT_EQ(access::pool_blocks(f.engine)->next->next, nullptr);
}

TEST(JpegPool, ZeroingClearsExactlyTheRoundedSize) {
  fresh_engine f;
  auto* start = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 4, false));
  std::memset(start, 0xAA, 64);  // inside the same block's data area
  auto* zeroed = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 5, true));
  ASSERT_EQ(zeroed, start + 4);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  EXPECT_EQ(zeroed[8], 0xAA);
  auto* kept = static_cast<std::uint8_t*>(access::pool_alloc(f.engine, 3, false));
  EXPECT_EQ(kept[0], 0xAA);
}

TEST(JpegPool, SizesThatWouldWrapAreOutOfMemory) {
  for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFF801u, 0xFFFFF900u}) {
    fresh_engine f;
    access::pool_alloc(f.engine, 16, false);
    const int code = access::abort_code([&] { access::pool_alloc(f.engine, size, false); });
    EXPECT_EQ(code, jpeg::out_of_memory) << size;
    EXPECT_EQ(f.engine.status(), jpeg::out_of_memory);
    EXPECT_EQ(access::pool_blocks(f.engine), nullptr);  // released
    EXPECT_FALSE(access::stream_attached(f.engine));
  }
}

TEST(JpegEngine, StatusKeepsTheFirstFailure) {
  fresh_engine f;
  EXPECT_EQ(access::abort_code([&] { access::abort_decode(f.engine, jpeg::scan_header_invalid); }),
            jpeg::scan_header_invalid);
  access::abort_code([&] { access::abort_decode(f.engine, jpeg::out_of_memory); });
  EXPECT_EQ(f.engine.status(), jpeg::scan_header_invalid);
}

TEST(JpegEngine, FailedConstructionRefusesEverythingAndNeverReadsAgain) {
  chunk_stream stream(soi() + frame_header(0xC0, 8, 8, {{1, 1, 1, 0}}, 12));
  jpeg_decoder_engine engine(&stream);
  EXPECT_EQ(engine.status(), jpeg::unsupported_precision);
  const int calls = stream.calls;
  EXPECT_EQ(engine.start_decoding(), -1);
  const std::uint8_t* line = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(engine.decode_row(&line, &length), -1);
  EXPECT_EQ(stream.calls, calls);
  EXPECT_EQ(engine.status(), jpeg::unsupported_precision);
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
  EXPECT_EQ(engine.start_decoding(), -1);
}

}  // namespace
