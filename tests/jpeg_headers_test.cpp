// Real files from cjpeg and jpegtran: the header values and the tables this
// decoder reads must equal what libjpeg-turbo reads from the same bytes.
#include "jpeg_test_support.h"
#include "libjpeg_reference.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>

namespace {

using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

TEST(JpegHeaders, CorpusMatchesTheReference) {
  const std::vector<corpus_file> files = corpus_manifest();
  ASSERT_GT(files.size(), 50u) << "corpus missing in " << JPEG_CORPUS_DIR;
  for (const corpus_file& file : files) {
    SCOPED_TRACE(file.name);
    const std::string path = corpus_path(file.name);
    const byte_string bytes = read_file(path);
    libjpeg_reader ref(byte_string(bytes.begin() + file.soi_offset, bytes.end()));
    ASSERT_TRUE(ref.ok);

    jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    jpeg_decoder_engine engine(&stream);
    EXPECT_EQ(engine.status(), file.status) << jpeg::status_code_name(engine.status());
    if (file.status != 0) continue;

    EXPECT_EQ(engine.width(), static_cast<int>(ref.info.image_width));
    EXPECT_EQ(engine.height(), static_cast<int>(ref.info.image_height));
    EXPECT_EQ(engine.component_count(), ref.info.num_components);
    const jpeg::parsed_headers parsed = access::parsed(engine);
    EXPECT_EQ(parsed.frame.progressive, ref.info.progressive_mode != 0);
    for (int i = 0; i < engine.component_count(); ++i) {
      EXPECT_EQ(parsed.frame.h_factor[i], ref.info.comp_info[i].h_samp_factor);
      EXPECT_EQ(parsed.frame.v_factor[i], ref.info.comp_info[i].v_samp_factor);
    }

    // Set-up reads on to the first scan header, as libjpeg did. A
    // progressive frame is decoded to its end by start_decoding, so its
    // first scan header is read by hand here.
    if (parsed.frame.progressive) {
      bool found = false;
      ASSERT_EQ(abort_code([&] { found = access::next_scan(engine); }), 0);
      ASSERT_TRUE(found);
    } else {
      ASSERT_EQ(engine.start_decoding(), 0) << jpeg::status_code_name(engine.status());
    }
    EXPECT_EQ(parsed.tables.restart_interval, static_cast<int>(ref.info.restart_interval));
    EXPECT_EQ(parsed.scan.component_count, ref.info.comps_in_scan);

    for (int slot = 0; slot < 4; ++slot) {
      const std::int16_t* ours = parsed.tables.quant[slot];
      const JQUANT_TBL* theirs = ref.info.quant_tbl_ptrs[slot];
      ASSERT_EQ(ours != nullptr, theirs != nullptr) << "quant slot " << slot;
      if (ours == nullptr) continue;
      for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(static_cast<std::uint16_t>(ours[k]), theirs->quantval[natural_of_zigzag[k]]) << slot << " " << k;
      }
    }
    for (int slot = 0; slot < 8; ++slot) {
      const std::uint8_t* counts = parsed.tables.huffman_counts[slot];
      if (counts == nullptr) continue;
      const JHUFF_TBL* theirs = slot < 4 ? ref.info.dc_huff_tbl_ptrs[slot] : ref.info.ac_huff_tbl_ptrs[slot - 4];
      ASSERT_NE(theirs, nullptr) << "huffman slot " << slot;
      int total = 0;
      for (int length = 1; length <= 16; ++length) {
        EXPECT_EQ(counts[length], theirs->bits[length]) << slot;
        total += counts[length];
      }
      for (int i = 0; i < total; ++i) EXPECT_EQ(parsed.tables.huffman_symbols[slot][i], theirs->huffval[i]);
      EXPECT_NE(access::layout(engine).lookup[slot], nullptr);
    }
    if (HasFatalFailure()) return;
  }
}

TEST(JpegHeaders, FileStreamReadsTheSameHeaders) {
  for (const corpus_file& file : corpus_manifest()) {
    if (file.status != 0) continue;
    SCOPED_TRACE(file.name);
    const std::string path = corpus_path(file.name);
    const byte_string bytes = read_file(path);
    jpeg::jpeg_decoder_mem_stream memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    jpeg_decoder_engine from_memory(&memory);
    jpeg::jpeg_decoder_file_stream file_stream;
    ASSERT_TRUE(file_stream.open_file(path.c_str()));
    jpeg_decoder_engine from_file(&file_stream);
    EXPECT_EQ(from_file.status(), 0);
    EXPECT_EQ(from_file.width(), from_memory.width());
    EXPECT_EQ(from_file.height(), from_memory.height());
    EXPECT_EQ(from_file.component_count(), from_memory.component_count());
    EXPECT_EQ(from_file.start_decoding(), from_memory.start_decoding());
    EXPECT_EQ(from_file.status(), 0);
  }
}

TEST(JpegHeaders, EveryPrefixOfARealFileFailsCleanly) {
  // Cut a real progressive file with restarts at every length: the headers
  // either fail with a code or read fully; nothing else may happen.
  const byte_string bytes = read_file(corpus_path("com_app.jpg"));
  ASSERT_FALSE(bytes.empty());
  for (std::size_t n = 0; n < bytes.size(); n += (n < 2000 ? 1 : 97)) {
    jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(n));
    jpeg_decoder_engine engine(&stream);
    if (engine.status() == 0) {
      EXPECT_EQ(engine.width(), 37);
      const int started = engine.start_decoding();
      EXPECT_TRUE(started == 0 || engine.status() < 0);
    } else {
      EXPECT_LT(engine.status(), 0);
    }
  }
}

TEST(JpegHeaders, MutatedHeadersFailWithACodeOrPass) {
  // Hostile headers: a few bytes changed anywhere in the first kilobyte of
  // real files. Every outcome must be 0 or a named code; the sanitizer build
  // checks that nothing reads or writes out of bounds on the way.
  std::mt19937 rng(7);
  for (const char* name : {"420_37x23.jpg", "444_prog_64x48.jpg", "420_restart_rows.jpg", "grey_q1_16bit.jpg",
                           "420_scans.jpg", "com_app.jpg"}) {
    const byte_string original = read_file(corpus_path(name));
    ASSERT_FALSE(original.empty()) << name;
    const std::size_t span = std::min<std::size_t>(original.size(), 1024);
    for (int round = 0; round < 1500; ++round) {
      byte_string bytes = original;
      const int changes = std::uniform_int_distribution<int>(1, 4)(rng);
      for (int c = 0; c < changes; ++c) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, span - 1)(rng);
        bytes[at] = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 255)(rng));
      }
      jpeg::jpeg_decoder_mem_stream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
      jpeg_decoder_engine engine(&stream);
      if (engine.status() == 0 && engine.start_decoding() == 0) {
        const std::uint8_t* line;
        std::uint32_t length;
        while (engine.decode_row(&line, &length) == 0) {
        }
      }
      if (engine.status() != 0) {
        ASSERT_STRNE(jpeg::status_code_name(engine.status()), "unknown") << name << " round " << round;
      }
    }
  }
}

}  // namespace
