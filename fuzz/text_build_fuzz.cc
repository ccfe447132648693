// Fuzz target: the text form of one table file, as `grouper-tables build`
// reads it.
//
// The first byte picks one of the sixteen text layouts; the rest is that
// file's text, read over the demo set's store.  Checks: bad text is refused
// with a line and column inside the text, never read past; text that is
// accepted makes a file image, and the dump of what was read reads back to
// the same image (dump and build stay inverse).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "tables/table_writer.h"
#include "text_form.h"

namespace {

using grouper::fuzz::check;
namespace tools = grouper::tools;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto layouts = tools::text_layouts();
  const tools::TextFileSpec& layout = layouts[data[0] % layouts.size()];
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  grouper::TableStore store = grouper::fuzz::demo_set().tables;
  tools::TextError error;
  if (!tools::parse_file_text(text, layout, store, error)) {
    check(!error.what.empty(), "a refusal says what is wrong");
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    check(error.line >= 1 && error.line <= lines + 1 && error.column >= 1, "a refusal points into the text");
    return 0;
  }
  std::string image_error;
  const std::string image = grouper::table_file_image(store, *layout.file, image_error);
  if (!image_error.empty()) return 0;  // build refuses it before writing anything

  const std::string dumped = tools::dump_file_text(store, layout);
  grouper::TableStore again = grouper::fuzz::demo_set().tables;
  if (!tools::parse_file_text(dumped, layout, again, error)) {
    grouper::fuzz::fail("the dump of accepted text does not read back: line " + std::to_string(error.line) + ": " +
                        error.what);
  }
  std::string again_error;
  check(grouper::table_file_image(again, *layout.file, again_error) == image && again_error.empty(),
        "the dump of accepted text builds the same file");
  return 0;
}
