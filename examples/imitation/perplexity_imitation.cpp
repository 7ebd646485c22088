// Perplexity's chat completions as its deep-research model streams them:
//   POST {base}/chat/completions   data-only events ending with [DONE]
// There is no run to resume or cancel: a retry asks anew.
#include "imitation/service_imitation.hpp"
#include "zelq/providers/perplexity/testing/transcript.hpp"

namespace zelq::examples::imitation {

namespace {

namespace asio = boost::asio;
namespace transcript = providers::perplexity::testing;
using core::Value;
using net::testing::Exchange;

// The events before this one are sent before a drop or a stall: part of the
// thinking has streamed.
constexpr std::size_t kCut = 2;

std::vector<std::string> answer_frames(Scenario scenario) {
  if (scenario == Scenario::EMPTY) {
    // Thinking only, and no search results.
    std::vector<std::string> frames =
        transcript::answer_events({"<think>\nLooking for sources.\n", "</think>\n\n"});
    frames.push_back(transcript::DONE_EVENT);
    return frames;
  }
  const Value results = {{{"title", "Sun compass"},
                          {"url", "https://bees.example/sun"},
                          {"date", "2026-11-02"},
                          {"snippet", "Bees keep the sun at a fixed angle."}}};
  // As the service writes it: the thinking and the answer each open and
  // close with newlines.
  std::vector<std::string> frames = transcript::answer_events(
      {"<think>\nLooking for", " how bees navigate.\n\nComparing the sources.\n</think>\n\n",
       "Honey bees navigate", " by the sun and by landmarks.\n"},
      results);
  if (scenario == Scenario::FAILED) {
    frames.resize(kCut);
    frames.push_back(
        "event: error\ndata: "
        R"({"error":{"message":"The research run failed.","type":"server_error","code":500}})"
        "\n\n");
    return frames;
  }
  frames.push_back(transcript::DONE_EVENT);
  return frames;
}

class PerplexityImitation : public ServiceImitation {
 public:
  explicit PerplexityImitation(Scenario scenario)
      : ServiceImitation(scenario, "/chat/completions") {}

  std::string base_url(const std::string& origin) const override { return origin; }

 protected:
  asio::awaitable<void> answer(Exchange& exchange) override {
    if (kind_of(exchange.request) != Kind::CREATE) {
      co_await unknown(exchange);
      co_return;
    }
    co_await stream(exchange, answer_frames(scenario()), kCut, opening_ending());
  }
};

}  // namespace

std::unique_ptr<ServiceImitation> make_perplexity_imitation(Scenario scenario) {
  return std::make_unique<PerplexityImitation>(scenario);
}

}  // namespace zelq::examples::imitation
