// A short walk-through of zelq_generation on a handful of sample chunks.
//
//   zelq_demo [data file]    (default: examples/data/chunks.json)
//
// The data file holds a query and a list of retrieved chunks, most relevant
// first: {"query": ..., "chunks": [{"id", "content", "metadata", "score"}]}.
// Each section below shows one component; add new ones to main().
#include <algorithm>
#include <exception>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/repacker.hpp"
#include "zelq/generation/response_synthesizer.hpp"

namespace {

using zelq::core::ChunkPtr;
using zelq::core::Value;
namespace rp = zelq::generation::repacker;
namespace rs = zelq::generation::response_synthesizer;

struct SampleData {
  std::string query;
  std::vector<ChunkPtr> chunks;
};

SampleData load_sample(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  const Value data = Value::parse(in);
  SampleData sample{data.value("query", std::string()), {}};
  for (const Value& item : data.at("chunks")) {
    ChunkPtr chunk = zelq::core::make_chunk(item.at("content").get<std::string>(),
                                            item.value("metadata", Value::object()));
    if (item.contains("id")) chunk->id = item.at("id").get<std::string>();
    if (item.contains("score")) chunk->score = item.at("score").get<double>();
    sample.chunks.push_back(chunk);
  }
  return sample;
}

void heading(const std::string& title) { std::cout << "\n== " << title << " ==\n"; }

void print_ids(const std::vector<ChunkPtr>& chunks) {
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    std::cout << "  " << i + 1 << ". " << chunks[i]->id << "\n";
  }
}

rp::RepackResult repack(const rp::Ruzededo& repacker, const std::vector<ChunkPtr>& chunks) {
  return zelq::core::run_sync(repacker.repack(chunks));
}

void demo_repacker(const SampleData& sample) {
  for (const char* method : {"forward", "reverse", "sides"}) {
    heading(std::string("Repacker, chunk mode, method \"") + method + "\"");
    print_ids(
        std::get<std::vector<ChunkPtr>>(repack(rp::Ruzededo({.method = method}), sample.chunks)));
  }

  heading("Repacker, context mode (first three chunks, delimiter \"\\n---\\n\")");
  const std::vector<ChunkPtr> first_three(
      sample.chunks.begin(),
      sample.chunks.begin() + std::min<std::size_t>(3, sample.chunks.size()));
  const rp::Ruzededo context({.mode = "context", .delimiter = "\n---\n"});
  std::cout << std::get<std::string>(repack(context, first_three)) << "\n";

  const long long limit = 600;
  heading("Repacker, size limit " + std::to_string(limit) + " code points, method \"sides\"");
  const rp::Ruzededo limited({.method = "sides", .size_limit = limit});
  const auto kept = std::get<std::vector<ChunkPtr>>(repack(limited, sample.chunks));
  long long total = 0;
  for (const ChunkPtr& chunk : kept) total += limited.size_func(*chunk);
  print_ids(kept);
  std::cout << "  kept " << kept.size() << " of " << sample.chunks.size() << " chunks, " << total
            << " code points; dropped from the end of the retriever's order\n";
}

// The synthesizer that answers the sample query. Without a language model it
// is the static-list strategy: the chunk contents as a numbered list. A
// model-backed synthesizer (for example ResponseSynthesizer::stuff with an
// invoker) would be chosen here.
rs::ResponseSynthesizer make_synthesizer() { return rs::ResponseSynthesizer::static_list(); }

void demo_synthesizer(const SampleData& sample) {
  heading("Response synthesizer, static list");
  const rs::ResponseSynthesizer synthesizer = make_synthesizer();
  const Value answer = zelq::core::run_sync(
      synthesizer.synthesize({.query = sample.query, .chunks = sample.chunks}));
  std::cout << answer.get<std::string>() << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "examples/data/chunks.json";
  try {
    const SampleData sample = load_sample(path);
    std::cout << "Query: " << sample.query << "\n"
              << "Chunks (retriever order, most relevant first):\n";
    print_ids(sample.chunks);
    demo_repacker(sample);
    demo_synthesizer(sample);
  } catch (const std::exception& error) {
    std::cerr << "zelq_demo: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
