// What the demo does to a text that came from its command line or names a
// server before printing it: everything that may carry a credential is
// replaced by "***", whether or not the text parses as a URL.
#pragma once

#include <string>
#include <string_view>

namespace zelq_demo {

// `url` read as one URL, however malformed, as the library redacts it
// (zelq::net::redact_url_text: the user information, what stands before
// the last "@", becomes "***", and control characters become "?"), with
// the query or fragment it drops shown as "?***" or "#***", and the value
// of every "name=value" whose name speaks of a key, token, secret,
// password, signature or authorisation as "***".
// "http//u:pw@host/v1?token=t" reads "http//***@host/v1?***".
std::string mask_url(std::string_view url);

// `text` (a message, a heading) with `secret` (the API key) masked wherever
// it appears, as the library's net::Quoting masks it, then each of its
// words (the runs between white space and quotes) masked as mask_url does
// when it looks like part of a URL: it has an "@", a query, or a fragment after "//".
// A ":", ";", "," or "." that ends a word before white space is kept as the
// sentence's own ("x?***: No such file"). Plain words such as "item #3" are
// left alone; control characters become "?".
std::string mask_text(std::string_view text, std::string_view secret);

}  // namespace zelq_demo
