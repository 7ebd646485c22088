// A short walk-through of zelq_generation on a handful of sample chunks.
// Usage: see kUsage below (zelq_demo --help).
//
// The data file holds a query and a list of retrieved chunks, most relevant
// first: {"query": ..., "chunks": [{"id", "content", "metadata", "score"}]}.
// Each section below shows one component; add new ones to main().
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "demo_context_enricher.hpp"
#include "demo_relevance_filter.hpp"
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

constexpr std::string_view kUsage =
    "usage: scripts/demo.sh [DATA_FILE] [--model NAME [--base-url URL] [--timeout SECONDS]\n"
    "                        [--embedding-model NAME]]\n"
    "\n"
    "Repacks the sample chunks of DATA_FILE (default examples/data/chunks.json) every way\n"
    "the repacker allows, then answers the sample query: with the static-list strategy,\n"
    "or, given --model, with that model through an OpenAI-compatible server.\n"
    "\n"
    "  --model NAME       answer with this model (the key comes from OPENAI_API_KEY)\n"
    "  --base-url URL     the server's API root (default https://api.openai.com/v1)\n"
    "  --timeout SECONDS  the longest wait for the model's whole answer (default 120)\n"
    "  --embedding-model NAME\n"
    "                     first keep the chunks relevant to the query, by the similarity\n"
    "                     of this model's embeddings\n"
    "  --help             print this text\n";

// What the command line asks for. `api_key` is never printed.
struct DemoArgs {
  std::string path = "examples/data/chunks.json";
  std::string model;
  std::optional<std::string> base_url;
  std::string embedding_model;
  std::string api_key;
  double timeout = 120;
};

// A command line that cannot be used: the message says what is wrong.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

double parse_timeout(const std::string& text) {
  std::size_t used = 0;
  double seconds = 0;
  try {
    seconds = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !std::isfinite(seconds) || seconds <= 0) {
    throw UsageError("--timeout needs a positive number of seconds, got '" + text + "'");
  }
  return seconds;
}

// Reads the command line; nullopt for --help. Throws UsageError.
std::optional<DemoArgs> parse_args(int argc, char** argv) {
  DemoArgs args;
  bool have_path = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return std::nullopt;
    const bool takes_value =
        arg == "--model" || arg == "--base-url" || arg == "--timeout" || arg == "--embedding-model";
    if (takes_value && i + 1 >= argc) throw UsageError(arg + " needs a value");
    if (arg == "--model") {
      args.model = argv[++i];
      if (args.model.empty()) throw UsageError("--model needs a model name");
    } else if (arg == "--base-url") {
      args.base_url = argv[++i];
    } else if (arg == "--timeout") {
      args.timeout = parse_timeout(argv[++i]);
    } else if (arg == "--embedding-model") {
      args.embedding_model = argv[++i];
      if (args.embedding_model.empty()) throw UsageError("--embedding-model needs a model name");
    } else if (arg.starts_with("-") || have_path) {
      throw UsageError("unknown argument '" + arg + "'");
    } else {
      args.path = arg;
      have_path = true;
    }
  }
  if (args.base_url && args.model.empty()) throw UsageError("--base-url needs --model");
  if (!args.embedding_model.empty() && args.model.empty()) {
    throw UsageError("--embedding-model needs --model");
  }
  if (!args.model.empty()) {
    const char* key = std::getenv("OPENAI_API_KEY");
    if (key == nullptr) throw UsageError("--model needs an API key in OPENAI_API_KEY");
    if (*key == '\0') throw UsageError("OPENAI_API_KEY is empty");
    args.api_key = key;
  }
  return args;
}

// `url` with its user information and its query (and fragment) masked: both
// may carry credentials.
std::string masked_url(std::string url) {
  const std::size_t scheme_end = url.find("://");
  const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const std::size_t host_end = std::min(url.find_first_of("/?#", start), url.size());
  if (const auto at = url.rfind('@', host_end); at != std::string::npos && at >= start) {
    url.replace(start, at - start, "***");
  }
  if (const auto query = url.find_first_of("?#", start); query != std::string::npos) {
    url.replace(query + 1, std::string::npos, "***");
  }
  return url;
}

// Prints each streamed piece of the answer as it arrives; `open_line` tells
// whether a piece was printed since the last line break.
std::shared_ptr<zelq::core::EventEmitter> terminal_emitter(std::shared_ptr<bool> open_line) {
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([open_line](const zelq::core::Event& event) -> boost::asio::awaitable<void> {
    if (event.type == "response") {
      const std::string piece = event.value.get<std::string>();
      std::cout << piece << std::flush;
      if (!piece.empty()) *open_line = !piece.ends_with('\n');
    }
    if (event.type == "response_end") {
      std::cout << "\n";
      *open_line = false;
    }
    co_return;
  });
  return emitter;
}

// With a model: the stuff strategy, one call over all chunks with the preset
// "stuff" prompt, streaming the answer to the terminal, then the sources it
// was given. The whole call is bounded by `args.timeout`.
void demo_stuff(const SampleData& sample, const DemoArgs& args) {
  const std::string base_url = args.base_url.value_or("https://api.openai.com/v1");
  heading("Response synthesizer, stuff (openai/" + args.model + " at " + masked_url(base_url) +
          ")");
  auto invoker =
      zelq::providers::build_lm_invoker("openai/" + args.model, args.api_key,
                                        Value{{"base_url", base_url}, {"timeout", args.timeout}});
  const auto& preset = rs::preset_prompt::PRESET_PROMPT_CATALOG["stuff"];
  const rs::ResponseSynthesizer synthesizer = rs::ResponseSynthesizer::stuff(
      {.lm_invoker = invoker,
       .prompt_builder = zelq::inference::PromptBuilder(
           preset.system_template, preset.user_template, preset.key_defaults)});
  auto open_line = std::make_shared<bool>(false);
  rs::SynthesizeOptions options{
      .query = sample.query, .chunks = sample.chunks, .event_emitter = terminal_emitter(open_line)};
  Value answer;
  try {
    answer = zelq::core::run_sync(zelq::core::with_timeout(
        synthesizer.synthesize(std::move(options)), std::chrono::duration<double>(args.timeout)));
  } catch (...) {
    // A partial answer ends its line before the error is printed.
    if (*open_line) std::cout << std::endl;
    throw;
  }
  std::cout << "Sources given to the model:\n";
  for (std::size_t i = 0; i < sample.chunks.size(); ++i) {
    std::cout << "  " << i + 1 << ". " << sample.chunks[i]->id << " "
              << sample.chunks[i]->metadata.dump() << "\n";
  }
  if (answer.is_string()) demo_reference_formatter(answer.get<std::string>(), sample.chunks);
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
               "<name> [--base-url <OpenAI-compatible URL>]; see --help)\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<DemoArgs> args;
  try {
    args = parse_args(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "zelq_demo: " << error.what() << "\n\n" << kUsage;
    return 2;
  }
  if (!args) {
    std::cout << kUsage;
    return 0;
  }
  try {
    const SampleData sample = load_sample(args->path);
    std::cout << "Query: " << sample.query << "\n"
              << "Chunks (retriever order, most relevant first):\n";
    print_ids(sample.chunks);
    zelq::demo::demo_context_enricher(sample.chunks);
    demo_repacker(sample);
    SampleData relevant = sample;
    relevant.chunks = zelq_demo::demo_relevance_filter(
        sample.query, sample.chunks, !args->model.empty(),
        {.base_url = args->base_url.value_or("https://api.openai.com/v1"),
         .api_key = args->api_key,
         .model = args->embedding_model});
    if (!args->model.empty()) {
      demo_stuff(relevant, *args);
    } else {
      demo_static_list(sample);
    }
  } catch (const std::exception& error) {
    std::cout << std::flush;
    std::cerr << "zelq_demo: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
