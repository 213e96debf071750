// The HTML view's template, style sheet and script (companions/attrs/html/), compiled in at build
// time by companions/attrs/html/embed.cmake.
#pragma once
#include <string_view>

namespace kes::attrs {

extern const std::string_view kHtmlPageTemplate;  // page.html, with the markers html.cpp fills
extern const std::string_view kHtmlPageStyle;     // page.css
extern const std::string_view kHtmlPageScript;    // page.js

}  // namespace kes::attrs
