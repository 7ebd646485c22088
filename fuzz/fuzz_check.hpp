// What every fuzz target shares: a check that stops the run with a message
// (libFuzzer then saves the input as a crash reproducer), and the splitting
// of an input into pieces for parsers fed incrementally.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace zelq::fuzz {

[[noreturn]] inline void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "\n==fuzz== disagreement: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Up to 16 cut positions, each a fraction of the text in 1/65536ths, taken
// from the end of the fuzzer's input (so a text consumed afterwards stays at
// the front of the input, as in the seed files).
inline std::vector<std::uint16_t> take_cuts(FuzzedDataProvider& fdp) {
  std::vector<std::uint16_t> cuts(fdp.ConsumeIntegralInRange<std::size_t>(0, 16));
  for (auto& cut : cuts) cut = fdp.ConsumeIntegral<std::uint16_t>();
  return cuts;
}

// `text` cut at `cuts` (see take_cuts) into pieces, empty ones included.
inline std::vector<std::string_view> split(std::string_view text,
                                           const std::vector<std::uint16_t>& cuts) {
  std::vector<std::size_t> at;
  for (auto cut : cuts) at.push_back(text.size() * cut / 65536);
  std::sort(at.begin(), at.end());
  std::vector<std::string_view> pieces;
  std::size_t from = 0;
  for (std::size_t cut : at) {
    pieces.push_back(text.substr(from, cut - from));
    from = cut;
  }
  pieces.push_back(text.substr(from));
  return pieces;
}

// Bytes shown in a message: printable ASCII as is, the rest escaped.
inline std::string escaped(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace zelq::fuzz
