// Researches a question with a deep-research service and shows the run as
// it happens: thinking and activity lines on stderr, the streamed answer,
// then the citations, on stdout (so that `> answer.txt` keeps the answer
// alone). `zelq_research --help` prints the usage (research_cli.cpp).
//
// Ctrl-C or SIGTERM stops the call and exits 130; a second one exits at
// once. --timeout stops it the same way after the given time and exits 1
// (a signal after that exits at once). The last line says what the stop did
// at the service, from what the library reports of the call's run: OpenAI
// and Google cancel the run (a create still unanswered is let finish first,
// so that the run it names is cancelled too), or say that none was created,
// that it was never named or that its cancel failed; Perplexity's stream is
// closed, and Parallel, which has no cancel call, keeps its run going. A base
// URL or key the service's client refuses exits 2 before any request. A new
// researcher joins by adding one row to providers().
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "research_cli.hpp"
#include "research_printer.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/event.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/generation/deep_researcher.hpp"
#include "zelq/providers/google/http_interactions_client.hpp"
#include "zelq/providers/openai/openai_client.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/parallel/http_task_run_client.hpp"
#include "zelq/providers/perplexity/perplexity_http_client.hpp"
#include "zelq/providers/registry.hpp"

namespace {

namespace asio = boost::asio;
namespace dr = zelq::generation::deep_researcher;
namespace rx = zelq::examples::research;
using zelq::core::Value;
using zelq::inference::LMOutput;

struct Access {
  std::string model;     // empty: the provider's default
  std::string base_url;  // empty: the service's own
  std::string api_key;
};

struct ResearchProvider {
  rx::ProviderKey key;
  std::function<std::unique_ptr<dr::BaseDeepResearcher>(const Access&)> make;
};

// `factory`, after building one client with it as the researcher will for
// each attempt: a base URL or key the client refuses ends the program
// before any request (the error masks the URL).
template <class Factory>
Factory checked_up_front(Factory factory, const Access& access) {
  factory(Value{{"api_key", access.api_key}});
  return factory;
}

std::unique_ptr<dr::BaseDeepResearcher> make_openai(const Access& access) {
  if (!access.base_url.empty()) {
    // The researcher builds its invoker through the provider registry: the
    // "openai" entry is replaced by one that sends to the given server.
    zelq::providers::register_lm_provider(
        "openai", [url = access.base_url](const zelq::inference::ModelId& id,
                                          const Value& credentials, const Value& config) {
          Value with_base = config;
          with_base["base_url"] = url;
          return zelq::providers::openai::make_openai_lm_invoker(id, credentials, with_base);
        });
  }
  dr::OpenAIDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.model_name = access.model;
  return std::make_unique<dr::OpenAIDeepResearcher>(std::move(options));
}

// Google's and Perplexity's researchers build their client at each call:
// a factory is always given, so that a key the client refuses ends the
// program up front too, not only a base URL.
std::unique_ptr<dr::BaseDeepResearcher> make_google(const Access& access) {
  dr::GoogleDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.agent_name = access.model;
  options.client_factory = checked_up_front(
      [url = access.base_url](const Value& params) {
        auto http = zelq::providers::google::HttpInteractionsOptions::from_client_params(params);
        if (!url.empty()) http.base_url = url;
        return std::make_shared<const zelq::providers::google::HttpInteractionsClient>(
            std::move(http));
      },
      access);
  return std::make_unique<dr::GoogleDeepResearcher>(std::move(options));
}

std::unique_ptr<dr::BaseDeepResearcher> make_parallel(const Access& access) {
  dr::ParallelDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.processor_name = access.model;
  if (!access.base_url.empty()) {
    zelq::providers::parallel::HttpTaskRunClientOptions http;
    http.base_url = access.base_url;
    options.client_factory =
        checked_up_front(zelq::providers::parallel::http_task_run_client_factory(http), access);
  }
  return std::make_unique<dr::ParallelDeepResearcher>(std::move(options));
}

std::unique_ptr<dr::BaseDeepResearcher> make_perplexity(const Access& access) {
  dr::PerplexityDeepResearcherOptions options{.api_key = access.api_key};
  if (!access.model.empty()) options.model_name = access.model;
  options.client_factory = checked_up_front(
      access.base_url.empty()
          ? zelq::providers::perplexity::default_client_factory()
          : zelq::providers::perplexity::http_client_factory(Value{{"base_url", access.base_url}}),
      access);
  return std::make_unique<dr::PerplexityDeepResearcher>(std::move(options));
}

const std::vector<ResearchProvider>& providers() {
  static const std::vector<ResearchProvider> table = {
      {{"openai",
        {"OPENAI_API_KEY"},
        zelq::providers::openai::DEFAULT_BASE_URL,
        rx::StopAtService::CANCEL},
       &make_openai},
      {{"google",
        {"GEMINI_API_KEY", "GOOGLE_API_KEY"},
        zelq::providers::google::DEFAULT_BASE_URL,
        rx::StopAtService::CANCEL},
       &make_google},
      // No cancel call: a stopped call leaves its run going on.
      {{"parallel",
        {"PARALLEL_API_KEY"},
        zelq::providers::parallel::DEFAULT_BASE_URL,
        rx::StopAtService::NONE},
       &make_parallel},
      // No cancel call: a completion is stopped by closing its stream.
      {{"perplexity",
        {"PERPLEXITY_API_KEY"},
        zelq::providers::perplexity::DEFAULT_BASE_URL,
        rx::StopAtService::CLOSE_STREAM},
       &make_perplexity},
  };
  return table;
}

std::vector<rx::ProviderKey> provider_keys() {
  std::vector<rx::ProviderKey> keys;
  for (const ResearchProvider& row : providers()) keys.push_back(row.key);
  return keys;
}

using rx::Stop;

struct Outcome {
  std::optional<LMOutput> output;
  std::exception_ptr failure;
  Stop stop = Stop::NONE;
};

asio::awaitable<void> research_into(const dr::BaseDeepResearcher& researcher,
                                    dr::ResearchRequest request, std::optional<LMOutput>& slot) {
  slot.emplace(co_await researcher.research(std::move(request)));
}

void quit_at_once(const boost::system::error_code& error, int) {
  if (error) return;
  constexpr std::string_view kText = "\nQuit.\n";
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, kText.data(), kText.size());
  ::_exit(rx::kExitInterrupted);
}

// Runs the research on an io_context of its own, spawned from inside its
// run(). SIGINT or SIGTERM, or the end of `timeout`, stops the call (the
// researcher then cancels its run where the service can) and the call is
// awaited to its end; a signal after that ends the process at once.
Outcome run_research(const rx::ProviderKey& provider, const dr::BaseDeepResearcher& researcher,
                     dr::ResearchRequest request, std::optional<double> timeout,
                     rx::TerminalPrinter& printer) {
  asio::io_context io;
  Outcome outcome;
  bool done = false;
  asio::cancellation_signal cancel;
  asio::signal_set signals(io, SIGINT, SIGTERM);
  asio::steady_timer deadline(io);
  // Posted first, so that the call's stop is bound before any signal or the
  // deadline can emit it.
  asio::post(io, [&] {
    asio::co_spawn(io, research_into(researcher, std::move(request), outcome.output),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr failure) {
                     done = true;
                     outcome.failure = failure;
                     signals.cancel();
                     deadline.cancel();
                   }));
  });
  // Every stop is announced on its own line, so that the wait for the
  // service's answers (up to a minute) does not look like a hang.
  auto stop = [&](Stop why, const std::string& notice) {
    printer.finish();
    std::cerr << "\n" << notice << "\n";
    outcome.stop = why;
    signals.async_wait(&quit_at_once);
    cancel.emit(asio::cancellation_type::terminal);
  };
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (!error) stop(Stop::INTERRUPTED, rx::interrupt_notice(provider));
  });
  if (timeout) {
    // Capped at about 30 years, so that the clock's range is never passed.
    deadline.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::min(*timeout, 1e9))));
    deadline.async_wait([&](const boost::system::error_code& error) {
      if (error || done || outcome.stop != Stop::NONE) return;
      signals.cancel();  // a signal now quits at once
      stop(Stop::TIMED_OUT, rx::timeout_notice(provider));
    });
  }
  io.run();
  return outcome;
}

int finish(const rx::ProviderKey& provider, const Outcome& outcome,
           const rx::TerminalPrinter& printer, std::optional<double> timeout) {
  const std::string ending = rx::ending_text(provider, outcome.stop, timeout, outcome.failure);
  std::cerr << ending;
  if (outcome.stop == Stop::INTERRUPTED) return rx::kExitInterrupted;
  if (outcome.failure) return rx::kExitFailed;
  return rx::report_output(*outcome.output, printer.answer_streamed(), std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  rx::Arguments args;
  try {
    args = rx::parse_arguments(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const rx::UsageError& error) {
    std::cerr << error.what() << "\n" << rx::usage_synopsis(provider_keys());
    return rx::kExitUsage;
  }
  if (args.help) {
    std::cout << rx::usage_text(provider_keys());
    return rx::output_status(rx::kExitDone, std::cout, std::cerr);
  }
  auto row = std::find_if(providers().begin(), providers().end(),
                          [&](const ResearchProvider& p) { return p.key.name == args.provider; });
  if (row == providers().end()) {
    std::cerr << "Unknown provider " << args.provider << ".\n"
              << rx::usage_synopsis(provider_keys());
    return rx::kExitUsage;
  }
  const std::optional<std::string> key = rx::find_key(row->key.key_variables, &std::getenv);
  if (!key) {
    std::cerr << rx::missing_key_text(row->key) << "\n";
    return rx::kExitUsage;
  }
  auto printer = std::make_shared<rx::TerminalPrinter>(std::cout, std::cerr);
  const Access access{.model = args.model, .base_url = args.base_url, .api_key = *key};
  std::unique_ptr<dr::BaseDeepResearcher> researcher;
  try {
    researcher = row->make(access);
  } catch (const std::exception& error) {
    std::cerr << "Cannot research with " << args.provider << ": " << error.what() << "\n";
    return rx::kExitUsage;
  }
  // The printer shows each new attempt ("retrying (attempt 2 of 4): ..."):
  // the library's warning of it would say the same again on stderr. (This
  // also quiets the HTTP clients' quick retries of a 429 or 5xx answer
  // within an attempt; when they all fail, the attempt fails with that
  // answer, and the printer shows it.)
  zelq::core::LoggerManager().get_logger("retry")->spdlog_logger()->set_level(spdlog::level::err);
  // The library's warnings read as the program's other lines do:
  // "warning: <text>", without spdlog's time stamp and logger name.
  auto plain = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  plain->set_pattern("%l: %v");
  zelq::core::LoggerManager().set_sinks({plain});
  auto emitter = std::make_shared<zelq::core::EventEmitter>();
  emitter->add_handler([printer](const zelq::core::Event& event) -> asio::awaitable<void> {
    printer->print(event);
    co_return;
  });
  dr::ResearchRequest request{.query = args.question, .event_emitter = emitter};
  const Outcome outcome =
      run_research(row->key, *researcher, std::move(request), args.timeout, *printer);
  printer->finish();
  const int status = finish(row->key, outcome, *printer, args.timeout);
  return rx::output_status(status, std::cout, std::cerr);
}
