// Parallel's Task API as a deep-research run uses it:
//   POST {base}/v1/tasks/runs                        create (202: the run)
//   GET  {base}/v1beta/tasks/runs/{id}/events        named events; every
//        connection replays the run's events from the start
//   GET  {base}/v1/tasks/runs/{id}/result?timeout=   blocks until the run ends
//   POST {base}/v1/tasks/runs/{id}/cancel            cancel
#include <map>
#include <utility>

#include "imitation/service_imitation.hpp"

namespace zelq::examples::imitation {

namespace {

namespace asio = boost::asio;
using core::Value;
using net::testing::Exchange;

// The events before this one are sent before a drop or a stall: the run is
// running and has sent its plan.
constexpr std::size_t kCut = 2;

std::string frame(const std::string& type, Value data) {
  data["type"] = type;
  return "event: " + type + "\ndata: " + data.dump() + "\n\n";
}

Value stats(int read, const std::vector<std::string>& sample) {
  return {{"progress_meter", read * 20},
          {"source_stats",
           {{"num_sources_considered", 6},
            {"num_sources_read", read},
            {"sources_read_sample", sample}}}};
}

std::vector<std::string> run_frames(const std::string& id, Scenario scenario) {
  const std::string stamp = "2026-12-07T01:00:00Z";
  const std::vector<std::string> sources = {"https://bees.example/sun", "https://bees.example/map",
                                            "https://bees.example/dance"};
  std::vector<std::string> frames = {
      frame("task_run.state", {{"run", {{"run_id", id}, {"status", "running"}}}}),
      frame(
          "task_run.progress_msg.plan",
          {{"message", "Planning the search for how honey bees navigate."}, {"timestamp", stamp}}),
      frame("task_run.progress_stats", stats(2, {sources[0], sources[1]})),
      frame("task_run.progress_msg.search",
            {{"message", "Reading about the sun compass."}, {"timestamp", stamp}}),
      frame("task_run.progress_stats", stats(3, sources)),
  };
  Value end = {{"run_id", id}, {"status", "completed"}};
  if (scenario == Scenario::FAILED) {
    end = {
        {"run_id", id}, {"status", "failed"}, {"error", {{"message", "The research run failed."}}}};
  }
  frames.push_back(frame("task_run.state", {{"run", end}}));
  return frames;
}

std::string result(const std::string& id, Scenario scenario) {
  const std::string content =
      scenario == Scenario::EMPTY ? "" : "Honey bees navigate by the sun and by landmarks.";
  const Value citation = {{"url", "https://bees.example/sun"},
                          {"title", "Sun compass"},
                          {"excerpts", {"Bees keep the sun at a fixed angle."}}};
  const Value output = {{"type", "text"},
                        {"content", content},
                        {"basis",
                         {{{"field", "output"},
                           {"reasoning", ""},
                           {"citations", {citation}},
                           {"confidence", "high"}}}},
                        {"mcp_tool_calls", nullptr},
                        {"beta_fields", nullptr}};
  return Value{{"run", {{"run_id", id}, {"status", "completed"}}}, {"output", output}}.dump();
}

std::string run_record(const std::string& id, const std::string& status) {
  return Value{{"run_id", id}, {"interaction_id", "i" + id}, {"status", status}}.dump();
}

class ParallelImitation : public ServiceImitation {
 public:
  explicit ParallelImitation(Scenario scenario) : ServiceImitation(scenario, "/tasks/runs") {}

  std::string base_url(const std::string& origin) const override { return origin; }

 protected:
  asio::awaitable<void> answer(Exchange& exchange) override {
    const std::string path = target_path(exchange.request.target);
    const std::string id = segment_after(path, "runs");
    const Kind kind = kind_of(exchange.request);
    if (kind == Kind::CREATE) {
      const std::string created = next_id("trun");
      connections_[created] = 0;
      std::string run = run_record(created, "queued");
      co_await exchange.respond(202, std::move(run));
    } else if (kind == Kind::CANCEL && connections_.contains(id)) {
      std::string run = run_record(id, "cancelling");
      co_await exchange.respond(200, std::move(run));
    } else if (path.ends_with("/events") && connections_.contains(id)) {
      const Ending ending = connections_[id]++ == 0 ? opening_ending() : resumed_ending();
      co_await stream(exchange, run_frames(id, scenario()), kCut, ending);
    } else if (path.ends_with("/result") && connections_.contains(id)) {
      co_await answer_result(exchange, id);
    } else {
      co_await unknown(exchange);
    }
  }

 private:
  asio::awaitable<void> answer_result(Exchange& exchange, std::string id) {
    if (scenario() == Scenario::STALLED) {
      co_await exchange.wait_for_close();
    } else if (scenario() == Scenario::FAILED) {
      co_await exchange.respond(
          404,
          R"({"type":"error","error":{"ref_id":"ref_1",)"
          R"("message":"Run failed or run id not found"}})");
    } else {
      co_await exchange.respond(200, result(id, scenario()));
    }
  }

  // Events connections per run.
  std::map<std::string, int> connections_;
};

}  // namespace

std::unique_ptr<ServiceImitation> make_parallel_imitation(Scenario scenario) {
  return std::make_unique<ParallelImitation>(scenario);
}

}  // namespace zelq::examples::imitation
