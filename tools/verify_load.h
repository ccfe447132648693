// Why a table set does not load.
//
// The loader only says that a set failed (-1) or that two counts disagree
// (-2).  explain_load_failure walks the same load plan over the files of a
// directory and names the first file and array at fault, so that a user
// learns what to mend.
#pragma once

#include <filesystem>
#include <string>

namespace grouper::tools {

// The first reason the set in `dir` cannot be loaded ("Tccl: ccl_matrix
// needs 1300 bytes at offset 4100, the file ends after 200"), or "" when the
// files look loadable (an allocation failure, say).
std::string explain_load_failure(const std::filesystem::path& dir);

}  // namespace grouper::tools
