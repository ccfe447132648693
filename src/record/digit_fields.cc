#include "record/digit_fields.h"

namespace grouper {

void format_digits(int32_t value, char* dest, int width) {
  for (int i = 0; i < width; ++i) {
    dest[width - 1 - i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

}  // namespace grouper
