// Huffman tables: turns a table's code counts and symbol list into the
// one-look-up-plus-tree form the symbol decoders (huffman.h) read.
#include "huffman.h"

#include <cstdint>
#include <cstring>

namespace jpeg {

namespace {

void build_pair_entries(huffman_decode_table& table) {
  constexpr int mask = (1 << huffman_fast_bits) - 1;
  // The length of an end-of-block code of at most 8 bits at the top of the
  // index, else 0.
  auto end_of_block_length = [&table](int index) {
    const std::int32_t e = table.first_level_with_bits[index >> (huffman_fast_bits - 8)];
    return e > 0 && (e & 255) == 0 ? (e >> 8) & 31 : 0;
  };
  for (int index = 0; index <= mask; ++index) {
    const std::int32_t first = table.fast_value[index];
    if (first == 0) {
      const int length = end_of_block_length(index);
      table.pair_value[index] = length == 0 ? 0 : length | huffman_pair_end_of_block;
      continue;
    }
    const int count = first & 255;
    const auto first_value = static_cast<std::uint32_t>(first >> 16);
    std::uint32_t entry = (first_value << 21) | static_cast<std::uint32_t>(((first >> 8) & 15) << 6);
    // The next code, looked up with the bits after this entry and zeros
    // behind them: it lies within those bits when its count fits.
    const int rest = (index << count) & mask;
    const int end_length = end_of_block_length(rest);
    const std::int32_t second = table.fast_value[rest];
    const std::int32_t second_value = second >> 16;
    if (end_length != 0 && end_length <= huffman_fast_bits - count) {
      entry |= static_cast<std::uint32_t>(count + end_length) | (1u << 10) | huffman_pair_end_of_block;
    } else if (second != 0 && (second & 255) <= huffman_fast_bits - count && second_value >= -16 &&
               second_value <= 15) {
      entry |= static_cast<std::uint32_t>(count + (second & 255)) |
               static_cast<std::uint32_t>((((second >> 8) & 15) + 1) << 10) |
               ((static_cast<std::uint32_t>(second_value) & 31u) << 15);
    } else {
      entry |= static_cast<std::uint32_t>(count);
    }
    table.pair_value[index] = static_cast<std::int32_t>(entry);
  }
}

}  // namespace

bool huffman_counts_fit(const std::uint8_t counts[17]) {
  // Canonical codes are handed out in increasing order (T.81 C.2), so the
  // prefixes of the long codes at each depth only grow: a prefix unlike the
  // previous one at its depth is a new tree node.
  std::uint32_t last_prefix[16];
  for (std::uint32_t& p : last_prefix) p = UINT32_MAX;
  std::uint32_t code = 0;
  int nodes = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length]; ++i, ++code) {
      if (code >= (1u << length)) return false;
      for (int depth = 8; depth < length; ++depth) {
        const std::uint32_t prefix = code >> (length - depth);
        if (prefix != last_prefix[depth]) {
          last_prefix[depth] = prefix;
          if (++nodes > 256) return false;
        }
      }
    }
    code <<= 1;
  }
  return true;
}

void jpeg_decoder_engine::build_huffman_decode_table(int slot, huffman_decode_table& table) {
  std::memset(&table, 0, sizeof table);
  const std::uint8_t* counts = huffman_counts[slot];
  const std::uint8_t* symbols = huffman_symbols[slot];
  // The marker reader refuses such counts; an empty table (everything reads
  // as symbol 0) keeps the structure's bounds even if one slipped through.
  if (counts == nullptr || symbols == nullptr || !huffman_counts_fit(counts)) return;

  std::int32_t next_node = -1;
  std::uint32_t code = 0;
  int k = 0;
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length]; ++i, ++k, ++code) {
      const int symbol = symbols[k];
      table.code_length[symbol] = static_cast<std::uint8_t>(length);
      const int size = symbol & 15;
      if (length + size <= huffman_fast_bits && (size != 0 || slot < 4)) {
        const int free_bits = huffman_fast_bits - length;
        const int first = static_cast<int>(code) << free_bits;
        for (int index = first; index < first + (1 << free_bits); ++index) {
          const auto magnitude = static_cast<std::uint32_t>(index >> (free_bits - size)) & ((1u << size) - 1u);
          const std::uint32_t value = static_cast<std::uint32_t>(extend_value(magnitude, size));
          table.fast_value[index] =
              static_cast<std::int32_t>((value << 16) | static_cast<std::uint32_t>((symbol >> 4) << 8) |
                                        static_cast<std::uint32_t>(length + size));
        }
      }
      if (length <= 8) {
        const int free_bits = 8 - length;
        const int first = static_cast<int>(code) << free_bits;
        const bool with_bits = size != 0 && length + size <= 8;
        for (int index = first; index < first + (1 << free_bits); ++index) {
          table.first_level[index] = symbol;
          if (with_bits) {
            const int magnitude = (index >> (free_bits - size)) & ((1 << size) - 1);
            table.first_level_with_bits[index] =
                symbol | huffman_packed_has_bits | (magnitude << 16) | ((length + size) << 8);
          } else {
            table.first_level_with_bits[index] = symbol | (length << 8);
          }
        }
      } else {
        const std::uint32_t top = code >> (length - 8);
        if (table.first_level[top] == 0) {
          table.first_level[top] = next_node;
          table.first_level_with_bits[top] = next_node;
          next_node -= 2;
        }
        std::int32_t node = table.first_level[top];
        // Code bits 9 to length-1, counted from the most significant.
        for (int bit = length - 9; bit >= 1; --bit) {
          std::int32_t& child = table.long_code_tree[-node - static_cast<std::int32_t>((code >> bit) & 1)];
          if (child == 0) {
            child = next_node;
            next_node -= 2;
          }
          node = child;
        }
        table.long_code_tree[-node - static_cast<std::int32_t>(code & 1)] = symbol;
      }
    }
    code <<= 1;
  }
  if (slot >= 4 && !is_progressive) build_pair_entries(table);
}

}  // namespace jpeg
