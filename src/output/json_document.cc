#include "output/json_document.h"

#include <nlohmann/json.hpp>

namespace grouper {

nlohmann::ordered_json latin1_json(std::string_view text) {
  std::string utf8;
  utf8.reserve(2 * text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      utf8 += ch;
    } else {  // U+0080..U+00FF in two bytes
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

std::string dump_json(const nlohmann::ordered_json& doc) {
  // The library escapes quotes, backslashes and control characters and
  // copies every other character's UTF-8 bytes (ensure_ascii off).  The
  // replacing error handler keeps dump from throwing; it has nothing to
  // replace while every string comes from latin1_json or from ASCII text.
  const std::string dumped = doc.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  // Two of its forms differ from the rows' and are rewritten: the short
  // escapes \b \t \n \f \r become \u0008 \u0009 \u000a \u000c \u000d, and
  // U+007F, which the library leaves as it is, becomes \u007f.  A backslash
  // of the dump always begins an escape, so the byte after it is that
  // escape's letter, never a character of the text.
  std::string out;
  out.reserve(dumped.size() + dumped.size() / 8);
  for (size_t i = 0; i < dumped.size(); ++i) {
    const char c = dumped[i];
    if (c == '\x7f') {
      out += "\\u007f";
    } else if (c != '\\' || i + 1 == dumped.size()) {
      out += c;
    } else {
      const char letter = dumped[++i];
      const char* code = letter == 'b'   ? "0008"
                         : letter == 't' ? "0009"
                         : letter == 'n' ? "000a"
                         : letter == 'f' ? "000c"
                         : letter == 'r' ? "000d"
                                         : nullptr;
      out += '\\';
      if (code) {
        out += 'u';
        out += code;
      } else {
        out += letter;
      }
    }
  }
  return out;
}

}  // namespace grouper
