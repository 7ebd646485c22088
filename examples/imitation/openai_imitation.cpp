// OpenAI's Responses API as a deep-research run uses it:
//   POST {base}/responses                      create (background, streamed)
//   GET  {base}/responses/{id}?stream=true&starting_after=<n>   resume
//   GET  {base}/responses/{id}                 the response record
//   POST {base}/responses/{id}/cancel          cancel
#include <map>
#include <utility>

#include "imitation/service_imitation.hpp"
#include "zelq/providers/openai/testing/responses_stream.hpp"

namespace zelq::examples::imitation {

namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;
using providers::openai::testing::responses_event;

constexpr std::string_view kAnswer = "Honey bees navigate by the sun and by landmarks.";
// The frames before this one are sent before a drop or a stall: the
// response is named and one summary part has streamed.
constexpr std::size_t kCut = 6;

Value record(const std::string& id, const std::string& status, Value output = Value::array()) {
  return {{"id", id},
          {"object", "response"},
          {"status", status},
          {"background", true},
          {"output", std::move(output)}};
}

Value with(Value base, const Value& more) {
  for (auto it = more.begin(); it != more.end(); ++it) base[it.key()] = it.value();
  return base;
}

// The events of one run, as (type, fields); how it ends depends on the
// scenario.
std::vector<std::pair<std::string, Value>> run_events(const std::string& id, Scenario scenario) {
  const Value part0 = {{"item_id", "rs_1"}, {"output_index", 0}, {"summary_index", 0}};
  const Value part1 = with(part0, {{"summary_index", 1}});
  const Value search = {{"id", "ws_1"},
                        {"type", "web_search_call"},
                        {"status", "completed"},
                        {"action", {{"type", "search"}, {"query", "honey bee navigation"}}}};
  const Value page = {{"id", "ws_2"},
                      {"type", "web_search_call"},
                      {"status", "completed"},
                      {"action", {{"type", "open_page"}, {"url", "https://bees.example/sun"}}}};
  std::vector<std::pair<std::string, Value>> events = {
      {"response.created", {{"response", record(id, "queued")}}},
      {"response.in_progress", {{"response", record(id, "in_progress")}}},
      {"response.output_item.added",
       {{"output_index", 0}, {"item", {{"id", "rs_1"}, {"type", "reasoning"}}}}},
      {"response.reasoning_summary_part.added", part0},
      {"response.reasoning_summary_text.delta", with(part0, {{"delta", "**Planning** the "}})},
      {"response.reasoning_summary_text.delta", with(part0, {{"delta", "search."}})},
      {"response.reasoning_summary_part.done", part0},
      {"response.reasoning_summary_part.added", part1},
      {"response.reasoning_summary_text.delta",
       with(part1, {{"delta", "Looking for how bees find their way home."}})},
      {"response.reasoning_summary_part.done", part1},
      {"response.output_item.done", {{"output_index", 1}, {"item", search}}},
      {"response.output_item.done", {{"output_index", 2}, {"item", page}}},
  };
  if (scenario == Scenario::FAILED) {
    Value failed = record(id, "failed");
    failed["error"] = {{"code", "server_error"}, {"message", "The research run failed."}};
    events.push_back({"response.failed", {{"response", failed}}});
    return events;
  }
  if (scenario == Scenario::EMPTY) {
    events.push_back({"response.completed", {{"response", record(id, "completed")}}});
    return events;
  }
  const Value text = {{"item_id", "msg_1"}, {"output_index", 3}, {"content_index", 0}};
  const Value citation = {{"type", "url_citation"},
                          {"start_index", 24},
                          {"end_index", 31},
                          {"url", "https://bees.example/sun"},
                          {"title", "Sun compass"}};
  const Value message = {
      {"id", "msg_1"},
      {"type", "message"},
      {"role", "assistant"},
      {"content",
       {{{"type", "output_text"}, {"text", kAnswer}, {"annotations", Value::array({citation})}}}}};
  events.push_back({"response.output_item.added",
                    {{"output_index", 3}, {"item", {{"id", "msg_1"}, {"type", "message"}}}}});
  events.push_back({"response.output_text.delta", with(text, {{"delta", "Honey bees navigate "}})});
  events.push_back(
      {"response.output_text.delta", with(text, {{"delta", "by the sun and by landmarks."}})});
  events.push_back({"response.output_text.annotation.added",
                    with(text, {{"annotation_index", 0}, {"annotation", citation}})});
  events.push_back({"response.output_text.done", with(text, {{"text", kAnswer}})});
  events.push_back({"response.output_item.done", {{"output_index", 3}, {"item", message}}});
  events.push_back(
      {"response.completed",
       {{"response", record(id, "completed", Value::array({search, page, message}))}}});
  return events;
}

class OpenAIImitation : public ServiceImitation {
 public:
  explicit OpenAIImitation(Scenario scenario) : ServiceImitation(scenario, "/responses") {}

  std::string base_url(const std::string& origin) const override { return origin + "/v1"; }

 protected:
  asio::awaitable<void> answer(Exchange& exchange) override {
    const std::string path = target_path(exchange.request.target);
    const std::string id = segment_after(path, "responses");
    const Kind kind = kind_of(exchange.request);
    if (kind == Kind::CREATE) {
      const std::string created = next_id("resp");
      status_[created] = "in_progress";
      co_await stream(exchange, frames(created, 0), kCut, opening_ending());
    } else if (kind == Kind::CANCEL && status_.contains(id)) {
      status_[id] = "cancelled";
      co_await exchange.respond(200, record(id, "cancelled").dump());
    } else if (exchange.request.method == "GET" && status_.contains(id)) {
      if (query_value(exchange.request.target, "stream") != "true") {
        co_await exchange.respond(200, record(id, status_[id]).dump());
        co_return;
      }
      const std::string after = query_value(exchange.request.target, "starting_after");
      const std::size_t from = after.empty() ? 0 : std::stoul(after) + 1;
      co_await stream(exchange, frames(id, from), 0, resumed_ending());
    } else {
      co_await unknown(exchange);
    }
  }

 private:
  // The run's frames from sequence number `from` on.
  std::vector<std::string> frames(const std::string& id, std::size_t from) const {
    const auto events = run_events(id, scenario());
    std::vector<std::string> out;
    for (std::size_t i = from; i < events.size(); ++i) {
      out.push_back(responses_event(events[i].first, static_cast<long long>(i), events[i].second));
    }
    return out;
  }

  std::map<std::string, std::string> status_;
};

}  // namespace

std::unique_ptr<ServiceImitation> make_openai_imitation(Scenario scenario) {
  return std::make_unique<OpenAIImitation>(scenario);
}

}  // namespace zelq::examples::imitation
