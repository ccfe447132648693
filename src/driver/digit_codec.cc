#include "driver/digit_codec.h"

namespace grouper {
// STUB: replaced by the driver work.
int32_t parse_digits(const char*, int) { return 0; }
void format_digits(int32_t, char*, int) {}
int16_t calc_age(const char*, const char*, const char*, int32_t& age_dd) { age_dd = 0; return 0; }
}  // namespace grouper
