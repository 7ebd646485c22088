// A short walk-through of zelq_generation on a handful of sample chunks.
// Usage: see kUsage in demo_cli.cpp (zelq_demo --help). A command line it
// cannot use (a bad flag, key or base URL) is refused before anything else
// is printed.
//
// The data file holds a query and a list of retrieved chunks, most relevant
// first: {"query": ..., "chunks": [{"id", "content", "metadata", "score"}]}.
// Each section below shows one component; add new ones to main().
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "demo_cli.hpp"
#include "demo_context_enricher.hpp"
#include "demo_masking.hpp"
#include "demo_relevance_filter.hpp"
#include "demo_terminal.hpp"
#include "zelq/core/chunk.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/text_line.hpp"
#include "zelq/core/value.hpp"
#include "zelq/generation/repacker.hpp"
#include "zelq/generation/response_synthesizer.hpp"
#include "zelq/generation/response_synthesizer/preset_prompt.hpp"
#include "zelq/inference/em_invoker.hpp"
#include "zelq/inference/lm_invoker.hpp"
#include "zelq/inference/prompt_builder.hpp"
#include "zelq/providers/openai/openai_em_invoker.hpp"
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

// A data file the demo cannot read; the message names the file and what is
// wrong with it.
struct DataError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What nlohmann says is wrong with a data file, without its own
// "[json.exception.parse_error.N] " prefix. The bytes it read last, which it
// quotes as they stand, are shown as Python shows a text: a byte that is not
// UTF-8 or a control character reads as an escape (last read: '"q\xff').
std::string parse_problem(const Value::parse_error& error) {
  std::string what = error.what();
  if (what.starts_with("[json.exception.")) what.erase(0, what.find("] ") + 2);
  constexpr std::string_view kLastRead = "; last read: '";
  const std::size_t token = what.find(kLastRead);
  if (token != std::string::npos && what.ends_with('\'')) {
    const std::size_t start = token + kLastRead.size();
    const std::string read = what.substr(start, what.size() - 1 - start);
    what.replace(start - 1, std::string::npos, zelq::core::py_repr(read));
  }
  return zelq::core::one_line(what);
}

// The sample in `path`, checked entry by entry (chunks are numbered from 1,
// as the demo lists them). Throws DataError.
SampleData load_sample(const std::string& path) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    throw DataError(path + ": is a folder, not a data file");
  }
  errno = 0;
  std::ifstream in(path);
  if (!in) {
    throw DataError("cannot open " + path +
                    (errno != 0 ? ": " + std::string(std::strerror(errno)) : ""));
  }
  const auto fail = [&](const std::string& problem) -> DataError {
    return DataError(path + ": " + problem);
  };
  Value data;
  try {
    data = Value::parse(in);
  } catch (const Value::parse_error& error) {
    throw fail("not valid JSON: " + parse_problem(error));
  }
  if (!data.is_object()) {
    throw fail("must hold a JSON object, not " + std::string(data.type_name()));
  }
  SampleData sample;
  if (data.contains("query")) {
    if (!data["query"].is_string()) throw fail("\"query\" must be a string");
    sample.query = data["query"].get<std::string>();
  }
  if (!data.contains("chunks")) throw fail("\"chunks\" is missing");
  if (!data["chunks"].is_array()) throw fail("\"chunks\" must be a list");
  std::size_t number = 0;
  for (const Value& item : data["chunks"]) {
    const std::string where = "item " + std::to_string(++number) + ": ";
    if (!item.is_object()) throw fail(where + "must be an object");
    if (!item.contains("content")) throw fail(where + "\"content\" is missing");
    if (!item["content"].is_string()) throw fail(where + "\"content\" must be a string");
    if (item.contains("id") && !item["id"].is_string()) {
      throw fail(where + "\"id\" must be a string");
    }
    if (item.contains("metadata") && !item["metadata"].is_object()) {
      throw fail(where + "\"metadata\" must be an object");
    }
    if (item.contains("score") && !item["score"].is_number()) {
      throw fail(where + "\"score\" must be a number");
    }
    ChunkPtr chunk = zelq::core::make_chunk(item["content"].get<std::string>(),
                                            item.value("metadata", Value::object()));
    if (item.contains("id")) chunk->id = item["id"].get<std::string>();
    if (item.contains("score")) chunk->score = item["score"].get<double>();
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

// Masks a text before it is printed (zelq_demo::mask_text with the key).
struct Masker {
  std::string secret;
  std::string operator()(std::string_view text) const { return zelq_demo::mask_text(text, secret); }
};

using zelq_demo::DemoArgs;
using zelq_demo::UsageError;

constexpr std::string_view kDataFileName = "chunks.json";

// The model clients the command line asks for, built before the demo prints
// anything: an invoker for the answer, an embedder for the relevance filter.
struct Models {
  zelq::inference::LMInvokerPtr answer;
  zelq::inference::EMInvokerPtr embedder;
  std::string base_url;
};

// Throws UsageError with the clients' own message when one cannot be built.
Models build_models(const DemoArgs& args) {
  Models models;
  if (args.model.empty()) return models;
  models.base_url = args.base_url.value_or(std::string(zelq_demo::kDefaultBaseUrl));
  const Value config{{"base_url", models.base_url}, {"timeout", args.timeout}};
  try {
    models.answer = zelq::providers::build_lm_invoker("openai/" + args.model, args.api_key, config);
    if (!args.embedding_model.empty()) {
      models.embedder = std::make_shared<zelq::providers::openai::OpenAIEMInvoker>(
          "openai/" + args.embedding_model, args.api_key, config);
    }
  } catch (const std::exception& error) {
    throw UsageError(error.what());
  }
  return models;
}

// The folders searched for the sample when neither DATA_FILE nor --data is
// given: examples/data of the current folder, of every folder above the
// program's own (a build folder inside the source tree) and of the source
// tree the program was built from.
std::vector<std::filesystem::path> data_dir_candidates() {
  namespace fs = std::filesystem;
  std::vector<fs::path> dirs = {fs::path("examples") / "data"};
  std::error_code error;
  const fs::path program = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    for (fs::path dir = program.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      dirs.push_back(dir / "examples" / "data");
      if (dir == dir.root_path()) break;
    }
  }
#ifdef ZELQ_DEMO_DATA_DIR
  dirs.emplace_back(ZELQ_DEMO_DATA_DIR);
#endif
  return dirs;
}

// The data file to read. Throws DataError when no folder holds the sample.
std::string data_file(const DemoArgs& args) {
  if (args.data_file) return *args.data_file;
  if (args.data_dir) return (std::filesystem::path(*args.data_dir) / kDataFileName).string();
  std::string looked;
  for (const std::filesystem::path& dir : data_dir_candidates()) {
    const std::filesystem::path file = dir / kDataFileName;
    std::error_code error;
    if (std::filesystem::is_regular_file(file, error)) return file.string();
    looked += (looked.empty() ? "" : ", ") + dir.string();
  }
  throw DataError("cannot find the sample data (" + std::string(kDataFileName) + "); looked in " +
                  looked + "; pass --data DIR");
}

// With a model: the stuff strategy, one call over all chunks with the preset
// "stuff" prompt, streaming the answer to the terminal, then the sources it
// was given. The whole call is bounded by `args.timeout`.
void demo_stuff(const SampleData& sample, const DemoArgs& args, const Models& models,
                const Masker& mask) {
  heading(mask("Response synthesizer, stuff (openai/" + args.model + " at " +
               zelq_demo::mask_url(models.base_url) + ")"));
  const zelq::inference::LMInvokerPtr invoker = models.answer;
  const auto& preset = rs::preset_prompt::PRESET_PROMPT_CATALOG["stuff"];
  const rs::ResponseSynthesizer synthesizer = rs::ResponseSynthesizer::stuff(
      {.extractor_func = &zelq_demo::answer_text,
       .lm_invoker = invoker,
       .prompt_builder = zelq::inference::PromptBuilder(
           preset.system_template, preset.user_template, preset.key_defaults)});
  auto terminal = std::make_shared<zelq_demo::Terminal>();
  rs::SynthesizeOptions options{.query = sample.query,
                                .chunks = sample.chunks,
                                .event_emitter = zelq_demo::answer_emitter(terminal)};
  Value answer;
  try {
    answer = zelq::core::run_sync(zelq::core::with_timeout(
        synthesizer.synthesize(std::move(options)), std::chrono::duration<double>(args.timeout)));
  } catch (...) {
    // A partial answer ends its line before the error is printed.
    if (terminal->open_line) std::cout << std::endl;
    throw;
  }
  // The reference formatter would refuse a blank answer in its own terms.
  if (!answer.is_string() || zelq::core::py_is_blank(answer.get<std::string>())) {
    throw std::runtime_error("the model gave an empty answer");
  }
  std::cout << "Sources given to the model:\n";
  for (std::size_t i = 0; i < sample.chunks.size(); ++i) {
    std::cout << "  " << i + 1 << ". " << sample.chunks[i]->id << " "
              << sample.chunks[i]->metadata.dump() << "\n";
  }
  demo_reference_formatter(answer.get<std::string>(), sample.chunks);
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

// `status` once stdout has taken everything printed; 1 when it could not (a
// full disk), which must not pass for success.
int output_status(int status) {
  std::cout.flush();
  if (std::cout) return status;
  std::cerr << "zelq_demo: cannot write to standard output\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Every text that came from the command line or names a server is masked
  // before it is printed, and so is the key wherever it might appear.
  const char* key = std::getenv("OPENAI_API_KEY");
  const Masker mask{key == nullptr ? std::string() : std::string(key)};
  std::optional<DemoArgs> args;
  Models models;
  try {
    args = zelq_demo::parse_args(std::vector<std::string>(argv + 1, argv + argc), key);
    if (args) models = build_models(*args);
  } catch (const UsageError& error) {
    std::cerr << "zelq_demo: " << mask(error.what()) << "\n\n" << zelq_demo::kUsage;
    return 2;
  }
  if (!args) {
    std::cout << zelq_demo::kUsage;
    return output_status(0);
  }
  try {
    const SampleData sample = load_sample(data_file(*args));
    std::cout << "Query: " << sample.query << "\n"
              << "Chunks (retriever order, most relevant first):\n";
    print_ids(sample.chunks);
    zelq::demo::demo_context_enricher(sample.chunks);
    demo_repacker(sample);
    SampleData relevant = sample;
    relevant.chunks =
        zelq_demo::demo_relevance_filter(sample.query, sample.chunks, !args->model.empty(),
                                         {.shown_url = mask(zelq_demo::mask_url(models.base_url)),
                                          .model = mask(args->embedding_model),
                                          .embedder = models.embedder,
                                          .secret = args->api_key});
    if (!args->model.empty()) {
      demo_stuff(relevant, *args, models, mask);
    } else {
      demo_static_list(sample);
    }
  } catch (const std::exception& error) {
    std::cout << std::flush;
    std::cerr << "zelq_demo: " << mask(error.what()) << "\n";
    return 1;
  }
  return output_status(0);
}
