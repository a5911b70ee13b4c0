// Input buffer and bit reader: refills, the synthesised end, stuffing and
// markers inside entropy-coded data, window arithmetic at its limits.
#include "jpeg_test_support.h"

#include <gtest/gtest.h>

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

// An engine whose input was reset over the given bytes, without parsing.
struct reader {
  chunk_stream stream;
  jpeg_decoder_engine engine{nullptr};
  explicit reader(byte_string bytes, int chunk = 1 << 30) : stream(std::move(bytes), chunk) {
    access::reset(engine, &stream);
  }
  std::uint32_t bits(int n) { return access::read_bits(engine, n); }
  std::uint32_t scan_bits(int n) { return access::read_bits_scan(engine, n); }
  int spare() const { return access::spare_bits(engine); }
  // Switches to entropy-coded reading at the current byte position.
  void enter_scan() { access::prime_scan_bits(engine); }
};

TEST(JpegInput, EmptyStreamPrimesEndMarkersAndHasNoStartOfImage) {
  reader r({});
  EXPECT_EQ(r.spare(), 16);
  EXPECT_EQ(r.bits(32), 0xFFD9FFD9u);

  chunk_stream empty({});
  jpeg_decoder_engine engine(&empty);
  EXPECT_EQ(engine.status(), jpeg::start_of_image_missing);
}

TEST(JpegInput, RawBytesThenEndMarkersForEver) {
  reader r(raw({0x01, 0x02, 0x03}));
  EXPECT_EQ(r.bits(8), 0x01u);
  EXPECT_EQ(r.bits(16), 0x0203u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(r.bits(8), 0xFFu);
    EXPECT_EQ(r.bits(8), 0xD9u);
  }
}

TEST(JpegInput, RefillsAcrossBufferAndChunkBoundaries) {
  byte_string data;
  for (int i = 0; i < 20000; ++i) data.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 8)));
  for (int chunk : {1, 3, 8192, 1 << 30}) {
    reader r(data, chunk);
    for (int i = 0; i < 20000; i += 2) {
      ASSERT_EQ(r.bits(16), (static_cast<std::uint32_t>(data[i]) << 8) | data[i + 1]) << i << " chunk " << chunk;
    }
  }
}

TEST(JpegInput, ZeroBitsChangeNothingAndSixteenBitsRefillInTheSameCall) {
  reader r(raw({0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(r.bits(0), 0u);
  EXPECT_EQ(r.spare(), 16);
  EXPECT_EQ(r.bits(15), 0xABCDu >> 1);
  EXPECT_EQ(r.spare(), 1);
  EXPECT_EQ(r.bits(16), 0xF789u);  // 1 bit of 0xCD, 0xEF, 7 bits of 0x12
  EXPECT_EQ(r.spare(), 1);
  EXPECT_EQ(r.bits(1), 0u);
  EXPECT_EQ(r.bits(16), 0x3456u);
}

TEST(JpegInput, ScanReadOfEveryValidBitLeavesSixteenFreshOnes) {
  // Entropy reads of 16 + spare_bits bits, from every spare count.
  for (int spare = 1; spare <= 16; ++spare) {
    reader r(raw({0x5A, 0xC3, 0x96, 0x3C, 0xA5, 0x0F, 0xF0, 0x00, 0x81, 0x7E, 0x11, 0x22}));
    r.enter_scan();
    // Bring the window to the wanted spare count: 32 valid bits, consume.
    const int consume = 16 - spare;
    std::uint64_t expected_all = 0x5AC3963CA50FF081ull;  // the 0xFF 0x00 is one data byte
    if (consume > 0) r.scan_bits(consume);
    ASSERT_EQ(r.spare(), spare);
    const int n = 16 + spare;
    const std::uint32_t got = r.scan_bits(n);
    const std::uint32_t want = static_cast<std::uint32_t>((expected_all >> (64 - consume - n)) & ((1ull << n) - 1));
    EXPECT_EQ(got, want) << spare;
    EXPECT_EQ(r.spare(), 0);
    const int next = 16;
    const std::uint32_t want_next = static_cast<std::uint32_t>((expected_all >> (64 - consume - n - next)) & 0xFFFF);
    EXPECT_EQ(r.scan_bits(next), want_next) << spare;
  }
}

TEST(JpegInput, StuffedZeroIsDropped) {
  reader r(raw({0x12, 0xFF, 0x00, 0x34, 0x56, 0x78, 0x9A}));
  r.enter_scan();
  EXPECT_EQ(r.scan_bits(8), 0x12u);
  EXPECT_EQ(r.scan_bits(8), 0xFFu);
  EXPECT_EQ(r.scan_bits(8), 0x34u);
  EXPECT_EQ(r.scan_bits(16), 0x5678u);
}

TEST(JpegInput, MarkerInEntropyDataReadsAsOnesAndStaysInTheInput) {
  reader r(raw({0x12, 0xFF, 0xD0, 0x77}));
  r.enter_scan();
  EXPECT_EQ(r.scan_bits(8), 0x12u);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(r.scan_bits(16), 0xFFFFu);
  // The marker is still next for a raw reader.
  EXPECT_EQ(access::read_byte(r.engine), 0xFF);
  EXPECT_EQ(access::read_byte(r.engine), 0xD0);
  EXPECT_EQ(access::read_byte(r.engine), 0x77);
}

TEST(JpegInput, FillBytesStopTheEntropyReaderAtTheFirstOne) {
  reader s(raw({0xFF, 0xFF, 0xD3, 0x01}));
  s.enter_scan();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(s.scan_bits(16), 0xFFFFu);
  EXPECT_EQ(access::read_byte(s.engine), 0xFF);
  EXPECT_EQ(access::read_byte(s.engine), 0xFF);
  EXPECT_EQ(access::read_byte(s.engine), 0xD3);
}

TEST(JpegInput, SynthesisedBytesInEntropyData) {
  // A data byte 0xFF that ends the stream yields 0xFF; then the synthesised
  // 0xFF 0xD9 markers read as ones.
  reader r(raw({0x21, 0xFF}));
  r.enter_scan();
  EXPECT_EQ(r.scan_bits(8), 0x21u);
  EXPECT_EQ(r.scan_bits(8), 0xFFu);
  EXPECT_EQ(r.scan_bits(16), 0xFFFFu);

  reader s(raw({0x21}));
  s.enter_scan();
  EXPECT_EQ(s.scan_bits(8), 0x21u);
  EXPECT_EQ(s.scan_bits(16), 0xFFFFu);
}

TEST(JpegInput, PrimingReturnsTheBytesBehindTheHeader) {
  const byte_string data = raw({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF, 0x00, 0x07});
  // At a byte boundary with 16 spare bits (4 bytes ahead) and with 8.
  for (int skip : {2, 3}) {
    reader r(data);
    for (int i = 0; i < skip; ++i) r.bits(8);
    ASSERT_EQ(r.spare(), skip == 2 ? 16 : 8);
    r.enter_scan();
    EXPECT_EQ(r.spare(), 16);
    for (int i = skip; i < 6; ++i) EXPECT_EQ(r.scan_bits(8), static_cast<std::uint32_t>(data[i])) << skip;
    EXPECT_EQ(r.scan_bits(8), 0xFFu);
    EXPECT_EQ(r.scan_bits(8), 0x07u);
  }
}

TEST(JpegInput, ReadFailuresAbortWithTheirOwnCode) {
  // On the very first read.
  chunk_stream first(grey_picture(), 1 << 30, 1);
  jpeg_decoder_engine a(&first);
  EXPECT_EQ(a.status(), jpeg::input_read_failed);

  // On a later read: a comment segment runs past the first buffer load.
  byte_string long_comment(20000, 0x41);
  chunk_stream later(soi() + segment(0xFE, long_comment) + grey_tables() + grey_frame(), 1 << 30, 2);
  jpeg_decoder_engine b(&later);
  EXPECT_EQ(b.status(), jpeg::input_read_failed);
  const int calls = later.calls;
  EXPECT_EQ(b.start_decoding(), -1);
  EXPECT_EQ(later.calls, calls);
}

// A stream that never reports its end and just stops delivering.
class silent_end_stream : public jpeg::jpeg_decoder_stream {
 public:
  int read_bytes(std::uint8_t* buffer, int n, bool*) override {
    const byte_string data = grey_picture();
    int count = 0;
    while (count < n && position < data.size()) buffer[count++] = data[position++];
    return count;
  }
  std::size_t position = 0;
};

TEST(JpegInput, StreamThatDeliversNothingWithoutEndDoesNotHang) {
  silent_end_stream stream;
  jpeg_decoder_engine engine(&stream);
  EXPECT_EQ(engine.status(), 0);
  EXPECT_EQ(engine.width(), 8);
}

TEST(JpegInput, HeadersParseTheSameInAnyChunking) {
  const byte_string picture = colour_picture(2, 1, 300, 200);
  const byte_string data =
      soi() + segment(0xE0, byte_string(9000, 7)) + byte_string(picture.begin() + 2, picture.end());
  for (int chunk : {1, 2, 7, 4096, 1 << 30}) {
    chunk_stream stream(data, chunk);
    jpeg_decoder_engine engine(&stream);
    EXPECT_EQ(engine.status(), 0) << chunk;
    EXPECT_EQ(engine.width(), 300);
    EXPECT_EQ(engine.height(), 200);
    EXPECT_EQ(engine.start_decoding(), 0) << chunk;
  }
}

}  // namespace
