// Repacks three chunks from the sides inward into one context text.
#include <iostream>
#include <string>
#include <variant>

#include <zelq/core/concurrency.hpp>
#include <zelq/generation/repacker.hpp>

int main() {
  using zelq::core::make_chunk;
  zelq::generation::repacker::Ruzededo repacker({.method = "sides", .mode = "context"});
  auto result = zelq::core::run_sync(
      repacker.repack({make_chunk("one"), make_chunk("two"), make_chunk("three")}));
  std::cout << std::get<std::string>(result) << "\n";
  return 0;
}
