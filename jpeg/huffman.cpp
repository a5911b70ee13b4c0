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
    return e > 0 && symbol_entry_symbol(e) == 0 ? symbol_entry_bits(e) : 0;
  };
  for (int index = 0; index <= mask; ++index) {
    const std::int32_t first = table.fast_value[index];
    if (first == 0) {
      const int length = end_of_block_length(index);
      table.pair_value[index] = length == 0 ? 0 : pack_pair_entry(length, 0, 0, 0, 0, true);
      continue;
    }
    const int count = fast_entry_bits(first);
    const int first_run = fast_entry_run(first);
    const std::int32_t first_value = fast_entry_value(first);
    // The next code, looked up with the bits after this entry and zeros
    // behind them: it lies within those bits when its count fits.
    const int rest = (index << count) & mask;
    const int end_length = end_of_block_length(rest);
    const std::int32_t second = table.fast_value[rest];
    const std::int32_t second_value = fast_entry_value(second);
    std::int32_t entry;
    if (end_length != 0 && end_length <= huffman_fast_bits - count) {
      entry = pack_pair_entry(count + end_length, first_run, first_value, 1, 0, true);
    } else if (second != 0 && fast_entry_bits(second) <= huffman_fast_bits - count &&
               second_value >= huffman_pair_second_min && second_value <= huffman_pair_second_max) {
      entry = pack_pair_entry(count + fast_entry_bits(second), first_run, first_value, fast_entry_run(second) + 1,
                              second_value, false);
    } else {
      entry = pack_pair_entry(count, first_run, first_value, 0, 0, false);
    }
    table.pair_value[index] = entry;
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

namespace {

// The fast entries of a code of `length` bits whose magnitude bits follow
// within the fast look-up: one per index that starts with the code.
void add_fast_entries(huffman_decode_table& table, std::uint32_t code, int length, int symbol) {
  const int size = symbol & 15;
  const int free_bits = huffman_fast_bits - length;
  const int first = static_cast<int>(code) << free_bits;
  for (int index = first; index < first + (1 << free_bits); ++index) {
    const auto magnitude = static_cast<std::uint32_t>(index >> (free_bits - size)) & ((1u << size) - 1u);
    table.fast_value[index] = pack_fast_entry(length + size, symbol >> 4, extend_value(magnitude, size));
  }
}

// The first-level entries of a code of at most 8 bits, with its magnitude
// where that fits in the 8 bits too.
void add_short_code(huffman_decode_table& table, std::uint32_t code, int length, int symbol) {
  const int size = symbol & 15;
  const int free_bits = 8 - length;
  const int first = static_cast<int>(code) << free_bits;
  const bool with_bits = size != 0 && length + size <= 8;
  for (int index = first; index < first + (1 << free_bits); ++index) {
    table.first_level[index] = symbol;
    if (with_bits) {
      const int magnitude = (index >> (free_bits - size)) & ((1 << size) - 1);
      table.first_level_with_bits[index] = pack_symbol_entry_with_magnitude(symbol, length + size, magnitude);
    } else {
      table.first_level_with_bits[index] = pack_symbol_entry(symbol, length);
    }
  }
}

// A code of more than 8 bits: its first 8 lead to a node of the tree, its
// other bits down from there, making the nodes on the way that are not
// there yet (numbered down from next_node, two entries each).
void add_long_code(huffman_decode_table& table, std::uint32_t code, int length, int symbol, std::int32_t& next_node) {
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

}  // namespace

void build_huffman_decode_table(const std::uint8_t* counts, const std::uint8_t* symbols, bool dc_table, bool sequential,
                                huffman_decode_table& table) {
  std::memset(&table, 0, sizeof table);
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
      if (length + size <= huffman_fast_bits && (size != 0 || dc_table)) add_fast_entries(table, code, length, symbol);
      if (length <= 8) {
        add_short_code(table, code, length, symbol);
      } else {
        add_long_code(table, code, length, symbol, next_node);
      }
    }
    code <<= 1;
  }
  if (!dc_table && sequential) build_pair_entries(table);
}

}  // namespace jpeg
