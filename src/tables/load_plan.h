// The load plan: the one description of the sixteen table files.
//
// Every file is a 100-byte text header carrying one to four 10-character
// count fields (at offsets 0, 10, 20, 30), followed by its arrays back to
// back in plan order, little-endian, no padding:
//
//   [header 100][array 0: elem x count][array 1]...[array n-1][ignored tail]
//
// The loader, the writer and the table tools all walk this plan, so the byte
// layout of a table file is stated here and nowhere else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tables/table_store.h"

namespace grouper {

inline constexpr size_t kHeaderSize = 100;
inline constexpr size_t kCountFieldWidth = 10;
inline constexpr int kTableFileCount = 16;

enum class ElemType : uint8_t {
  kText,       // char[width], no terminator
  kByte,       // one byte: a character or a small flag
  kInt16,      // little-endian two's complement
  kInt32,      // little-endian two's complement
  kRuleConds,  // 20 x int16, 40 bytes
  kMatrix,     // count_field records of record_field bytes (the CCL matrix)
};

// One array of a file.  Its element count is the value of count field
// `count_field`; for kMatrix it is count_field records of record_field bytes.
struct ArraySpec {
  std::string_view name;
  ElemType type;
  uint8_t width;         // bytes per element (kMatrix: 1)
  uint8_t count_field;   // 0..3
  uint8_t record_field;  // kMatrix only: the field holding the record length
  // Resizes the store's vector to n elements and returns its bytes.
  std::span<std::byte> (*resize)(TableStore&, size_t n);
  // The store's vector as bytes (what the writer writes).
  std::span<const std::byte> (*bytes)(const TableStore&);
  std::string_view short_message;  // printed when the array cannot be read in full ("" = none)
};

// "Count field `field` must equal the count `earlier_name` of an earlier file."
struct CrossCheck {
  uint8_t field;
  std::string_view earlier_name;
  uint16_t (*earlier)(const TableStore&);
};

struct CountSpec {
  std::string_view name;  // the count's name in the store ("dx_cnt", ...)
  uint16_t& (*ref)(TableStore&);
};

struct FileSpec {
  std::string_view name;  // exact file name
  std::span<const CountSpec> counts;        // count fields C0.. in header order
  std::span<const CrossCheck> cross_checks;  // in the order they are applied
  std::span<const ArraySpec> arrays;         // in file order
  std::string_view alloc_message;  // printed when an allocation fails ("" = none)
};

// The sixteen files in loading order.
std::span<const FileSpec> load_plan();

// The count values of `file` as `store` holds them, in header order (unused
// fields 0): what a header written from the store carries.
std::array<uint16_t, 4> file_counts(const TableStore& store, const FileSpec& file);

// Number of elements of `array` given the file's count values.
size_t element_count(const ArraySpec& array, std::span<const uint16_t> counts);
// Number of bytes of `array` in the file.
size_t array_bytes(const ArraySpec& array, std::span<const uint16_t> counts);

// Converts one 10-character count field: leading white space, an optional
// sign, decimal digits up to the first non-digit (wrapping in 32 bits), a NUL
// ends the text; the low 16 bits are the count.
uint16_t parse_count_field(const char* field);

}  // namespace grouper
