// Google's Interactions API as a deep-research agent uses it:
//   POST {base}/interactions                   create (background, streamed)
//   GET  {base}/interactions/{id}?stream=true&last_event_id=<id>   resume
//   GET  {base}/interactions/{id}              the interaction record
//   POST {base}/interactions/{id}/cancel       cancel
// Every small piece of thinking and answer is a step delta of its own, as
// the service sends them.
#include <map>
#include <utility>

#include "imitation/service_imitation.hpp"
#include "zelq/providers/google/testing/interactions_wire.hpp"

namespace zelq::examples::imitation {

namespace {

namespace asio = boost::asio;
namespace wire = providers::google::testing;
using core::Value;
using net::testing::Exchange;

// The events before this one are sent before a drop or a stall: the
// interaction is named and two thoughts have streamed.
constexpr std::size_t kCut = 3;

struct Run {
  std::string status = "in_progress";
  std::vector<std::string> texts;
};

std::vector<Value> run_events(const std::string& id, Scenario scenario) {
  std::vector<Value> events = {
      wire::created_event(id, "e1"),
      wire::thought_step_delta(1, "Planning the search.", "e2"),
      wire::thought_step_delta(1, "Reading about the sun compass.", "e3"),
      wire::thought_step_delta(1, "Comparing what the sources say.", "e4"),
  };
  if (scenario == Scenario::FAILED) {
    events.push_back({{"event_type", "interaction.status_update"},
                      {"interaction", {{"id", id}, {"status", "failed"}}},
                      {"event_id", "e5"}});
    events.push_back(wire::error_event("INTERNAL", "The research run failed."));
    return events;
  }
  if (scenario != Scenario::EMPTY) {
    events.push_back(wire::text_step_delta(2, "Honey bees navigate ", "e5"));
    events.push_back(wire::text_step_delta(2, "by the sun ", "e6"));
    events.push_back(wire::text_step_delta(2, "and by landmarks.", "e7"));
  }
  events.push_back(wire::completed_event(id, "e8"));
  return events;
}

class GoogleImitation : public ServiceImitation {
 public:
  explicit GoogleImitation(Scenario scenario) : ServiceImitation(scenario, "/interactions") {}

  std::string base_url(const std::string& origin) const override { return origin + "/v1beta"; }

 protected:
  asio::awaitable<void> answer(Exchange& exchange) override {
    const std::string& target = exchange.request.target;
    const std::string id = segment_after(target_path(target), "interactions");
    const Kind kind = kind_of(exchange.request);
    if (kind == Kind::CREATE) {
      const std::string created = next_id("int");
      runs_[created] = Run{};
      co_await play(exchange, created, "", opening_ending());
    } else if (kind == Kind::CANCEL && runs_.contains(id)) {
      runs_[id].status = "cancelled";
      co_await exchange.respond(200, wire::interaction_record(id, "cancelled").dump());
    } else if (exchange.request.method == "GET" && runs_.contains(id)) {
      if (query_value(target, "stream") == "true") {
        co_await play(exchange, id, query_value(target, "last_event_id"), resumed_ending());
      } else {
        const Run& run = runs_[id];
        co_await exchange.respond(200, wire::interaction_record(id, run.status, run.texts).dump());
      }
    } else {
      co_await unknown(exchange);
    }
  }

 private:
  // Streams the run's events after the one named `after` (all when empty);
  // a stream that reaches the end settles the run's record.
  asio::awaitable<void> play(Exchange& exchange, std::string id, std::string after, Ending ending) {
    const std::vector<Value> events = run_events(id, scenario());
    std::vector<std::string> frames;
    for (const Value& event : events) {
      frames.push_back(wire::sse_frame(event));
      if (!after.empty() && event.value("event_id", "") == after) frames.clear();
    }
    co_await stream(exchange, std::move(frames), after.empty() ? kCut : 0, ending);
    if (ending != Ending::END) co_return;
    Run& run = runs_[id];
    run.status = scenario() == Scenario::FAILED ? "failed" : "completed";
    if (scenario() != Scenario::FAILED && scenario() != Scenario::EMPTY) {
      run.texts = {"Honey bees navigate by the sun and by landmarks."};
    }
  }

  std::map<std::string, Run> runs_;
};

}  // namespace

std::unique_ptr<ServiceImitation> make_google_imitation(Scenario scenario) {
  return std::make_unique<GoogleImitation>(scenario);
}

}  // namespace zelq::examples::imitation
