// The text of the error a test expects a call to throw.
#pragma once

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace zelq::net::testing {

// what() of the `Error` that call() throws, or "no error of the expected
// kind" when it throws none (an error of another kind propagates). A text
// that shows `secret` (when one is given) fails the test.
template <class Error, class F>
std::string error_of(F&& call, std::string_view secret = {}) {
  try {
    call();
  } catch (const Error& error) {
    std::string text = error.what();
    if (!secret.empty()) {
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
    return text;
  }
  return "no error of the expected kind";
}

}  // namespace zelq::net::testing
