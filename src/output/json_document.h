// Whole JSON documents (explain's, the compare summary's), built as
// nlohmann::ordered_json values and written in the form the result rows
// write their strings (put_json_string in result_json.h): texts are read as
// Latin-1, so that every byte of a code round-trips, control characters and
// U+007F are written as \u00XX, and the other characters as their UTF-8
// bytes.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <string_view>

namespace grouper {

// `text` as a JSON string value, each byte the Latin-1 character of the same
// number (so always valid UTF-8 inside the value).
nlohmann::ordered_json latin1_json(std::string_view text);

// `doc` as compact JSON text (no spaces, members in insertion order).
// Never throws but for memory.
std::string dump_json(const nlohmann::ordered_json& doc);

}  // namespace grouper
