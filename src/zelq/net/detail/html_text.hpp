// Reading an HTML error page for an error message: a proxy in front of a
// service answers with a page, and the error quotes its title rather than
// its markup.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelq::net::detail {

// True when `body` reads as an HTML document: after white space (and an XML
// declaration or comments) it opens with "<!DOCTYPE html" or an <html>,
// <head>, <title> or <body> tag, in any case.
bool looks_like_html(std::string_view body);

// The text an error quotes of an HTML page: its <title> when that holds any
// text, else the text of the page with tags, comments, scripts and styles
// left out (each tag read as a space). Character references (&amp;,
// &#112;, &#x70;, ...) are decoded, so that what the reader sees is what
// the caller masks. The text is not yet put on one line.
std::string html_text(std::string_view page);

}  // namespace zelq::net::detail
