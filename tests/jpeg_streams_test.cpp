#include "jpeg_decoder.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdio>
#include <string>

namespace {

using jpeg::jpeg_decoder_file_stream;
using jpeg::jpeg_decoder_mem_stream;

std::string temp_file(const std::string& name, const std::string& contents) {
  std::string path = std::string(TEST_BINARY_DIR) + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(contents.data(), 1, contents.size(), f);
  std::fclose(f);
  return path;
}

TEST(JpegMemStream, EndFlagOnlyWhenARequestIsCutShort) {
  const std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  std::uint8_t buffer[8192];
  bool end = true;

  jpeg_decoder_mem_stream exact(data, 10);
  EXPECT_EQ(exact.read_bytes(buffer, 10, &end), 10);
  EXPECT_FALSE(end);  // exactly what was left: not yet the end
  EXPECT_EQ(exact.read_bytes(buffer, 10, &end), 0);
  EXPECT_TRUE(end);

  jpeg_decoder_mem_stream large(data, 10);
  end = false;
  EXPECT_EQ(large.read_bytes(buffer, 8192, &end), 10);
  EXPECT_TRUE(end);
  EXPECT_EQ(buffer[9], 9);
  end = false;
  EXPECT_EQ(large.read_bytes(buffer, 8192, &end), 0);
  EXPECT_TRUE(end);

  jpeg_decoder_mem_stream pieces(data, 10);
  EXPECT_EQ(pieces.read_bytes(buffer, 4, &end), 4);
  EXPECT_FALSE(end);
  EXPECT_EQ(pieces.read_bytes(buffer, 4, &end), 4);
  EXPECT_EQ(buffer[0], 4);
  EXPECT_EQ(pieces.read_bytes(buffer, 4, &end), 2);
  EXPECT_TRUE(end);
}

TEST(JpegMemStream, DetachedOrNegativeRequestsFail) {
  std::uint8_t buffer[16];
  bool end = false;
  jpeg_decoder_mem_stream none;
  EXPECT_EQ(none.read_bytes(buffer, 4, &end), -1);

  const std::uint8_t data[4] = {1, 2, 3, 4};
  jpeg_decoder_mem_stream stream(data, 4);
  EXPECT_EQ(stream.read_bytes(buffer, -1, &end), -1);
  stream.close_memory();
  EXPECT_EQ(stream.read_bytes(buffer, 4, &end), -1);
  EXPECT_TRUE(stream.open_memory(data, 4));
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), 4);
  EXPECT_EQ(buffer[3], 4);
}

TEST(JpegFileStream, ReadsAFileAndThenStaysAtItsEnd) {
  const std::string path = temp_file("stream_ten.bin", "0123456789");
  jpeg_decoder_file_stream stream;
  std::uint8_t buffer[8192];
  bool end = false;
  EXPECT_EQ(stream.read_bytes(buffer, 4, &end), -1);  // nothing open yet
  ASSERT_TRUE(stream.open_file(path.c_str()));
  EXPECT_EQ(stream.read_bytes(buffer, 4, &end), 4);
  EXPECT_FALSE(end);
  EXPECT_EQ(stream.read_bytes(buffer, 8192, &end), 6);
  EXPECT_TRUE(end);
  EXPECT_EQ(buffer[0], '4');

  // Sticky end: the file is not read again even if it grows.
  temp_file("stream_ten.bin", "0123456789abcdef");
  end = false;
  EXPECT_EQ(stream.read_bytes(buffer, 8192, &end), 0);
  EXPECT_TRUE(end);
}

TEST(JpegFileStream, EmptyFileEndsAtOnce) {
  const std::string path = temp_file("stream_empty.bin", "");
  jpeg_decoder_file_stream stream;
  ASSERT_TRUE(stream.open_file(path.c_str()));
  std::uint8_t buffer[16];
  for (int i = 0; i < 3; ++i) {
    bool end = false;
    EXPECT_EQ(stream.read_bytes(buffer, 16, &end), 0);
    EXPECT_TRUE(end);
  }
}

TEST(JpegFileStream, ReopeningClosesTheOldFileAndClearsTheFlags) {
  const std::string a = temp_file("stream_a.bin", "AAAA");
  const std::string b = temp_file("stream_b.bin", "BBBBBB");
  jpeg_decoder_file_stream stream;
  ASSERT_TRUE(stream.open_file(a.c_str()));
  std::uint8_t buffer[16];
  bool end = false;
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), 4);
  EXPECT_TRUE(end);

  ASSERT_TRUE(stream.open_file(b.c_str()));
  end = false;
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), 6);
  EXPECT_EQ(buffer[0], 'B');

  EXPECT_FALSE(stream.open_file((a + ".missing").c_str()));
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), -1);  // the old file was closed
  EXPECT_FALSE(stream.open_file(nullptr));
}

TEST(JpegFileStream, ReadErrorIsStickyUntilReopened) {
  // Reading a directory opened as a file fails with an error, not an end.
  jpeg_decoder_file_stream stream;
  if (!stream.open_file(TEST_BINARY_DIR)) GTEST_SKIP() << "directories cannot be opened here";
  std::uint8_t buffer[16];
  bool end = false;
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), -1);
  EXPECT_FALSE(end);
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), -1);
  const std::string path = temp_file("stream_ok.bin", "ok");
  ASSERT_TRUE(stream.open_file(path.c_str()));
  EXPECT_EQ(stream.read_bytes(buffer, 16, &end), 2);
}

TEST(JpegFileStream, DestructionClosesTheFile) {
  const std::string path = temp_file("stream_close.bin", "x");
  long before = 0;
  {
    jpeg_decoder_file_stream stream;
    ASSERT_TRUE(stream.open_file(path.c_str()));
    // The descriptor the file took is the lowest free one; after destruction
    // the same number is free again.
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    before = fileno(probe);
    std::fclose(probe);
  }
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  EXPECT_LT(fileno(probe), before);
  std::fclose(probe);
}

}  // namespace
