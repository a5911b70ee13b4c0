// Huffman decoding tables: the packed layout, tree node numbering, the count
// checks, and random tables decoding random streams exactly like a slow
// bit-by-bit canonical decoder.
#include "jpeg_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <set>

namespace {

using jpeg::huffman_decode_table;
using jpeg::jpeg_decoder_engine;
using access = jpeg::engine_test_access;

// A DC table, and an engine to decode with it.
struct table_fixture {
  jpeg_decoder_engine engine{nullptr};
  std::unique_ptr<huffman_decode_table> table = std::make_unique<huffman_decode_table>();
  table_fixture(const std::uint8_t counts[17], const std::uint8_t* symbols) {
    jpeg::build_huffman_decode_table(counts, symbols, true, true, *table);
  }
};

std::array<std::uint8_t, 17> counts_at(std::initializer_list<std::pair<int, int>> length_count) {
  std::array<std::uint8_t, 17> c{};
  for (auto [length, count] : length_count) c[length] = static_cast<std::uint8_t>(count);
  return c;
}

TEST(JpegHuffman, FirstLevelEntriesOfShortCodes) {
  // 00 -> 0x00, 010 -> 0x04, 01100 -> 0x14, 01101000 -> 0x01.
  const auto counts = counts_at({{2, 1}, {3, 1}, {5, 1}, {8, 1}});
  const std::uint8_t symbols[] = {0x00, 0x04, 0x14, 0x01};
  table_fixture f(counts.data(), symbols);
  const huffman_decode_table& t = *f.table;
  for (int i = 0; i < 256; ++i) {
    if (i < 64) {  // a size-0 symbol: code length only, no bit 15
      EXPECT_EQ(t.first_level[i], 0x00);
      EXPECT_EQ(t.first_level_with_bits[i], 2 << 8);
    } else if (i < 96) {  // 3 + 4 bits fit: magnitude packed in
      EXPECT_EQ(t.first_level[i], 0x04);
      EXPECT_EQ(t.first_level_with_bits[i], 0x04 | 0x8000 | (((i >> 1) & 15) << 16) | (7 << 8)) << i;
    } else if (i < 104) {  // 5 + 4 bits do not fit: the length alone
      EXPECT_EQ(t.first_level[i], 0x14);
      EXPECT_EQ(t.first_level_with_bits[i], 0x14 | (5 << 8));
    } else if (i == 104) {  // an 8-bit code fills one entry
      EXPECT_EQ(t.first_level[i], 0x01);
      EXPECT_EQ(t.first_level_with_bits[i], 0x01 | (8 << 8));
    } else {
      EXPECT_EQ(t.first_level[i], 0) << i;
      EXPECT_EQ(t.first_level_with_bits[i], 0) << i;
    }
  }
  for (int slot = 0; slot < 512; ++slot) EXPECT_EQ(t.long_code_tree[slot], 0);
  EXPECT_EQ(t.code_length[0x14], 5);
  EXPECT_EQ(t.code_length[0x01], 8);
  EXPECT_EQ(t.code_length[0x02], 0);
}

TEST(JpegHuffman, TreeNodesInCreationOrder) {
  // 000000000 -> 0x21, 000000001 -> 0x22, 0000000100 -> 0x23,
  // 0000000101000000 -> 0x24.
  const auto counts = counts_at({{9, 2}, {10, 1}, {16, 1}});
  const std::uint8_t symbols[] = {0x21, 0x22, 0x23, 0x24};
  table_fixture f(counts.data(), symbols);
  const huffman_decode_table& t = *f.table;
  EXPECT_EQ(t.first_level[0], -1);
  EXPECT_EQ(t.first_level_with_bits[0], -1);
  EXPECT_EQ(t.first_level[1], -3);
  EXPECT_EQ(t.first_level_with_bits[1], -3);
  for (int i = 2; i < 256; ++i) EXPECT_EQ(t.first_level[i], 0);

  std::map<int, int> expected = {{0, 0x22}, {1, 0x21}, {3, -5},   {5, 0x23}, {4, -7},   {7, -9},
                                 {9, -11},  {11, -13}, {13, -15}, {15, -17}, {17, 0x24}};
  for (int slot = 0; slot < 512; ++slot) {
    const auto it = expected.find(slot);
    EXPECT_EQ(t.long_code_tree[slot], it == expected.end() ? 0 : it->second) << slot;
  }
  EXPECT_EQ(t.code_length[0x24], 16);
}

TEST(JpegHuffman, CountChecks) {
  // Over-subscribed lengths.
  EXPECT_FALSE(jpeg::huffman_counts_fit(counts_at({{1, 3}}).data()));
  EXPECT_FALSE(jpeg::huffman_counts_fit(counts_at({{1, 1}, {2, 2}, {3, 1}}).data()));
  EXPECT_TRUE(jpeg::huffman_counts_fit(counts_at({{1, 1}, {2, 1}, {3, 2}}).data()));  // complete
  EXPECT_TRUE(jpeg::huffman_counts_fit(counts_at({{8, 255}}).data()));
  EXPECT_TRUE(jpeg::huffman_counts_fit(counts_at({}).data()));

  // Tree size: two 15-bit codes and k 16-bit codes, against an independent
  // count of the distinct prefixes the tree needs.
  for (int k = 1; k <= 253; ++k) {
    const auto counts = counts_at({{15, 2}, {16, k}});
    std::uint8_t symbols[255];
    std::iota(symbols, symbols + 255, 0);
    std::set<std::pair<int, std::uint32_t>> nodes;
    for (const code_entry& c : canonical_codes(counts.data(), symbols)) {
      for (int depth = 8; depth < c.length; ++depth) nodes.insert({depth, c.value >> (c.length - depth)});
    }
    EXPECT_EQ(jpeg::huffman_counts_fit(counts.data()), nodes.size() <= 256) << k;
    if (k == 253) {
      EXPECT_EQ(nodes.size(), 261u);
    }
  }
}

TEST(JpegHuffman, ExtendValue) {
  EXPECT_EQ(jpeg::extend_value(0, 1), -1);
  EXPECT_EQ(jpeg::extend_value(1, 1), 1);
  EXPECT_EQ(jpeg::extend_value(3, 2), 3);
  EXPECT_EQ(jpeg::extend_value(0, 11), -2047);
  EXPECT_EQ(jpeg::extend_value(1024, 11), 1024);
  EXPECT_EQ(jpeg::extend_value(0, 0), 0);
  EXPECT_EQ(jpeg::extend_value(0, 15), -32767);
  EXPECT_EQ(jpeg::extend_value(32767, 15), 32767);
}

// ---------------------------------------------------------------------------
// Random tables and streams.

// Decodes one symbol from bits[pos...] the slow way: one bit at a time
// against the code list, with the table's documented answer for bit
// patterns that begin no code (symbol 0; the plain decoder consumes symbol
// 0's code length after an empty first-level entry, the other nothing; a
// dead end below the first 8 bits consumes the bits walked).
struct slow_decoder {
  std::map<std::pair<int, std::uint32_t>, int> code_to_symbol;
  std::set<std::pair<int, std::uint32_t>> prefixes;  // proper prefixes of codes
  int symbol0_length = 0;

  explicit slow_decoder(const std::vector<code_entry>& codes) {
    for (const code_entry& c : codes) {
      code_to_symbol[{c.length, c.value}] = c.symbol;
      if (c.symbol == 0) symbol0_length = c.length;
      for (int d = 1; d < c.length; ++d) prefixes.insert({d, c.value >> (c.length - d)});
    }
  }

  static std::uint32_t take(const std::vector<bool>& bits, std::size_t pos, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | (bits[pos + i] ? 1 : 0);
    return v;
  }

  // Returns the symbol; advances pos; fills extra when with_extra.
  int decode(const std::vector<bool>& bits, std::size_t& pos, bool with_extra, std::uint32_t& extra) const {
    extra = 0;
    for (int length = 1; length <= 16; ++length) {
      const std::uint32_t code = take(bits, pos, length);
      const auto hit = code_to_symbol.find({length, code});
      if (hit != code_to_symbol.end()) {
        pos += static_cast<std::size_t>(length);
        if (with_extra) {
          const int size = hit->second & 15;
          extra = take(bits, pos, size);
          pos += static_cast<std::size_t>(size);
        }
        return hit->second;
      }
      if (prefixes.count({length, code}) == 0) {
        if (length <= 8) {
          // No code begins with these 8 bits at all: an empty first-level
          // entry.
          if (!with_extra) pos += static_cast<std::size_t>(symbol0_length);
        } else {
          pos += static_cast<std::size_t>(length);
        }
        return 0;
      }
    }
    ADD_FAILURE() << "a code longer than 16 bits";
    return 0;
  }
};

// Random counts for a prefix code (complete or not) of at most max_symbols
// codes, that the tree has room for.
std::array<std::uint8_t, 17> random_counts(std::mt19937& rng, int max_symbols) {
  for (;;) {
    std::array<std::uint8_t, 17> counts{};
    std::uint32_t code = 0;
    int total = 0;
    const int shortest = std::uniform_int_distribution<int>(1, 12)(rng);
    const bool sparse = std::uniform_int_distribution<int>(0, 3)(rng) == 0;
    for (int length = 1; length <= 16; ++length) {
      const std::uint32_t room = (1u << length) - code;
      int most = static_cast<int>(std::min<std::uint32_t>(room, static_cast<std::uint32_t>(max_symbols - total)));
      if (length < shortest) most = 0;
      if (sparse) most = std::min(most, 3);
      const int count = most == 0 ? 0 : std::uniform_int_distribution<int>(0, std::min(most, 40))(rng);
      counts[length] = static_cast<std::uint8_t>(count);
      total += count;
      code = (code + static_cast<std::uint32_t>(count)) << 1;
    }
    if (total > 0 && jpeg::huffman_counts_fit(counts.data())) return counts;
  }
}

void check_stream(const std::array<std::uint8_t, 17>& counts, const std::vector<std::uint8_t>& symbol_list,
                  const std::vector<bool>& bits, std::size_t symbols_to_decode, bool with_extra,
                  const std::string& what) {
  table_fixture f(counts.data(), symbol_list.data());
  slow_decoder slow(canonical_codes(counts.data(), symbol_list.data()));
  bit_writer w;
  for (bool bit : bits) w.put(bit, 1);
  chunk_stream data(w.done());
  access::reset(f.engine, &data);
  access::prime_scan_bits(f.engine);

  std::size_t pos = 0;
  for (std::size_t n = 0; n < symbols_to_decode; ++n) {
    std::uint32_t want_extra = 0;
    const int want = slow.decode(bits, pos, with_extra, want_extra);
    std::uint32_t got_extra = 0xDEAD;
    const int got = access::decode(f.engine, *f.table, with_extra ? &got_extra : nullptr);
    ASSERT_EQ(got, want) << what << " symbol " << n;
    if (with_extra) {
      ASSERT_EQ(got_extra, want_extra) << what << " symbol " << n;
    }
  }
  // Both consumed the same bits: what follows reads the same.
  ASSERT_EQ(access::read_bits_scan(f.engine, 16), slow_decoder::take(bits, pos, 16)) << what;
}

TEST(JpegHuffman, RandomTablesDecodeValidStreamsLikeTheSlowDecoder) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 300; ++round) {
    const bool dc = round % 3 == 0;
    const auto counts = random_counts(rng, dc ? 16 : 255);
    const int total = std::accumulate(counts.begin() + 1, counts.end(), 0);
    std::vector<std::uint8_t> symbol_list(256);
    std::iota(symbol_list.begin(), symbol_list.end(), 0);
    std::shuffle(symbol_list.begin(), symbol_list.begin() + (dc ? 16 : 256), rng);
    const auto codes = canonical_codes(counts.data(), symbol_list.data());

    for (bool with_extra : {false, true}) {
      std::vector<bool> bits;
      const auto put = [&bits](std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i) bits.push_back(((value >> i) & 1) != 0);
      };
      const int n = 400;
      for (int i = 0; i < n; ++i) {
        const code_entry& c = codes[std::uniform_int_distribution<int>(0, total - 1)(rng)];
        put(c.value, c.length);
        if (with_extra) {
          const int size = c.symbol & 15;
          put(std::uniform_int_distribution<std::uint32_t>(0, (1u << size) - 1)(rng), size);
        }
      }
      for (int i = 0; i < 96; ++i) bits.push_back(std::uniform_int_distribution<int>(0, 1)(rng) != 0);
      while (bits.size() % 8 != 0) bits.push_back(true);
      check_stream(counts, symbol_list, bits, n, with_extra,
                   "round " + std::to_string(round) + (with_extra ? " with extra" : " plain"));
      if (HasFatalFailure()) return;
    }
  }
}

// The one-look-up entries (code, run and extended value together) against
// the canonical codes, for every index, in a DC slot and an AC slot.
TEST(JpegHuffman, FastEntriesMatchTheCodes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const auto counts = random_counts(rng, 255);
    std::vector<std::uint8_t> symbol_list(256);
    std::iota(symbol_list.begin(), symbol_list.end(), 0);
    std::shuffle(symbol_list.begin(), symbol_list.end(), rng);
    const auto codes = canonical_codes(counts.data(), symbol_list.data());
    for (int slot : {0, 4}) {
      auto table = std::make_unique<huffman_decode_table>();
      jpeg::build_huffman_decode_table(counts.data(), symbol_list.data(), jpeg::is_dc_table_slot(slot), true, *table);
      constexpr int bits = jpeg::huffman_fast_bits;
      for (int index = 0; index < (1 << bits); ++index) {
        std::int32_t want = 0;
        for (const code_entry& c : codes) {
          const int size = c.symbol & 15;
          if (c.length + size > bits || static_cast<std::uint32_t>(index >> (bits - c.length)) != c.value) continue;
          if (size == 0 && slot >= 4) break;  // end of block, sixteen zeros: not in an AC table
          const auto magnitude = static_cast<std::uint32_t>(index >> (bits - c.length - size)) & ((1u << size) - 1);
          want = static_cast<std::int32_t>(static_cast<std::uint32_t>(jpeg::extend_value(magnitude, size)) << 16) |
                 ((c.symbol >> 4) << 8) | (c.length + size);
          break;
        }
        ASSERT_EQ(table->fast_value[index], want) << "round " << round << " slot " << slot << " index " << index;
      }
    }
  }
}

TEST(JpegHuffman, RandomBitsOnIncompleteTablesDecodeLikeTheSlowDecoder) {
  // Random bits hit the holes of incomplete codes: the table's answer for
  // them must match too, bit for bit.
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    const auto counts = random_counts(rng, 255);
    std::vector<std::uint8_t> symbol_list(256);
    std::iota(symbol_list.begin(), symbol_list.end(), 0);
    std::shuffle(symbol_list.begin(), symbol_list.end(), rng);
    std::vector<bool> bits;
    for (int i = 0; i < 8 * 1200; ++i) bits.push_back(std::uniform_int_distribution<int>(0, 1)(rng) != 0);
    for (bool with_extra : {false, true}) {
      check_stream(counts, symbol_list, bits, 150, with_extra, "round " + std::to_string(round));
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
