// The single-case page: an HTML document, its script and its style, all
// served by the binary itself (no external script, style or font), so that
// the page works offline under "Content-Security-Policy: default-src 'self'".
#pragma once

#include <string_view>

namespace grouper::serve {

std::string_view page_html();
std::string_view page_script();
std::string_view page_style();
std::string_view page_icon();  // SVG

}  // namespace grouper::serve
