// A short walk-through of zelq_generation on a handful of sample chunks.
//
//   zelq_demo [data file]    (default: examples/data/chunks.json)
//
//   zelq_demo [data file] --model <name> [--base-url <url>]   (key in OPENAI_API_KEY)
//
// The data file holds a query and a list of retrieved chunks, most relevant
// first: {"query": ..., "chunks": [{"id", "content", "metadata", "score"}]}.
// Each section below shows one component; add new ones to main().
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/repacker.hpp"
#include "zelq/generation/response_synthesizer.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/providers/registry.hpp"

#include "demo_reference_formatter.hpp"

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

// Where a language model is reached: an OpenAI-compatible server, a model
// name, and the API key from OPENAI_API_KEY (never printed).
struct ModelAccess {
  std::string base_url = "https://api.openai.com/v1";
  std::string model;
  std::string api_key;

  bool usable() const { return !model.empty() && !api_key.empty(); }
};

// Prints each streamed piece of the answer as it arrives.
std::shared_ptr<zelq::core::EventEmitter> terminal_emitter() {
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([](const zelq::core::Event& event) -> boost::asio::awaitable<void> {
    if (event.type == "response") std::cout << event.value.get<std::string>() << std::flush;
    if (event.type == "response_end") std::cout << "\n";
    co_return;
  });
  return emitter;
}

// With a model: the stuff strategy, one call over all chunks with the preset
// "stuff" prompt, streaming the answer to the terminal, then the sources it
// was given.
void demo_stuff(const SampleData& sample, const ModelAccess& access) {
  heading("Response synthesizer, stuff (openai/" + access.model + " at " + access.base_url + ")");
  auto invoker = zelq::providers::build_lm_invoker("openai/" + access.model, access.api_key,
                                                  Value{{"base_url", access.base_url}});
  const auto& preset = rs::preset_prompt::PRESET_PROMPT_CATALOG["stuff"];
  const rs::ResponseSynthesizer synthesizer = rs::ResponseSynthesizer::stuff(
      {.lm_invoker = invoker,
       .prompt_builder = zelq::inference::PromptBuilder(
           preset.system_template, preset.user_template, preset.key_defaults)});
  rs::SynthesizeOptions options{
      .query = sample.query, .chunks = sample.chunks, .event_emitter = terminal_emitter()};
  const Value answer = zelq::core::run_sync(synthesizer.synthesize(std::move(options)));
  demo_reference_formatter(answer.get<std::string>(), sample.chunks);
  std::cout << "Sources given to the model:\n";
  for (std::size_t i = 0; i < sample.chunks.size(); ++i) {
    std::cout << "  " << i + 1 << ". " << sample.chunks[i]->id << " "
              << sample.chunks[i]->metadata.dump() << "\n";
  }
}

// Without a model: the static-list strategy, the chunk contents as a
// numbered list.
void demo_static_list(const SampleData& sample) {
  heading("Response synthesizer, static list");
  const rs::ResponseSynthesizer synthesizer = rs::ResponseSynthesizer::static_list();
  const Value answer = zelq::core::run_sync(
      synthesizer.synthesize({.query = sample.query, .chunks = sample.chunks}));
  std::cout << answer.get<std::string>() << "\n";
  demo_reference_formatter(answer.get<std::string>(), sample.chunks);
  std::cout << "(To answer with a language model: OPENAI_API_KEY=<key> scripts/demo.sh --model "
               "<name> [--base-url <OpenAI-compatible URL>])\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = "examples/data/chunks.json";
  ModelAccess access;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--base-url" || arg == "--model") && i + 1 < argc) {
      (arg == "--model" ? access.model : access.base_url) = argv[++i];
    } else {
      path = arg;
    }
  }
  if (const char* key = std::getenv("OPENAI_API_KEY")) access.api_key = key;
  try {
    const SampleData sample = load_sample(path);
    std::cout << "Query: " << sample.query << "\n"
              << "Chunks (retriever order, most relevant first):\n";
    print_ids(sample.chunks);
    demo_repacker(sample);
    if (access.usable()) {
      demo_stuff(sample, access);
    } else {
      demo_static_list(sample);
    }
  } catch (const std::exception& error) {
    std::cerr << "zelq_demo: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
