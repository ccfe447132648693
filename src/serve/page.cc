// The texts of the single-case page.
#include "serve/page.h"

namespace grouper::serve {

std::string_view page_html() { return "<!doctype html><title>grouper</title>\n"; }
std::string_view page_script() { return "\n"; }
std::string_view page_style() { return "\n"; }

}  // namespace grouper::serve
