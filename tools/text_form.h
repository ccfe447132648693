// dump and build: a table set as readable text and back.
//
// dump writes what the loader read, every array element and count, so that
// build of a dump gives the same counts and array bytes (the header bytes
// beyond the count fields come out as blanks).  build refuses text it cannot
// turn into table files with "FILE:LINE:COLUMN: what is wrong" and then
// writes nothing; it writes the sixteen files beside OUTDIR first and moves
// them into place only when all of them are written.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tables/table_store.h"
#include "text_format.h"

namespace grouper::tools {

// Exit statuses of the two commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // bad text, or a file could not be written
inline constexpr int kExitRefused = 2;  // bad arguments, or a table set the loader refuses

// The text of one table file of a loaded store.
std::string dump_file_text(const TableStore& store, const TextFileSpec& layout);

struct TextError {
  size_t line = 0;    // 1-based
  size_t column = 0;  // 1-based byte column
  std::string what;
};

// Reads the text of one table file into `store` (its counts and arrays).
// Returns false with `error` set, leaving that file's part of the store
// unspecified.
bool parse_file_text(std::string_view text, const TextFileSpec& layout, TableStore& store,
                     TextError& error);

// The whole commands, minus argument handling.  `message` receives what the
// command has to say (errors, or warnings on success).
int dump_table_set(const std::filesystem::path& dir, const std::filesystem::path& outdir,
                   std::string& message);
int build_table_set(const std::filesystem::path& textdir, const std::filesystem::path& outdir,
                    std::string& message);

// Writes `files` (name, bytes) into `outdir`: first into a fresh directory
// beside it, then moved into place (the directory itself when `outdir` does
// not exist yet, else file by file).  On failure nothing is left behind.
bool write_files_beside(const std::filesystem::path& outdir,
                        const std::vector<std::pair<std::string, std::string>>& files,
                        std::string& error);

}  // namespace grouper::tools
