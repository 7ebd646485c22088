// Reading the Task API's answers and events into the client's records.
#include "zelq/providers/parallel/http_task_run_client.hpp"

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"

namespace zelq::providers::parallel::wire {

namespace {

using core::Value;

// "<source> holds no <what>: <the answer>." with the answer on one line.
[[noreturn]] void lacks(std::string_view source, std::string_view what, const Value& answer,
                        const net::Quoting& quoting) {
  throw core::RuntimeError(net::sentence(std::string(source) + " holds no " + std::string(what) +
                                         ": " + quoting.excerpt(answer.dump())));
}

SourceStats parse_stats(const Value& stats) {
  SourceStats out;
  if (!stats.is_object()) return out;
  if (auto sample = stats.find("sources_read_sample");
      sample != stats.end() && sample->is_array()) {
    out.sources_read_sample.emplace();
    for (const Value& source : *sample) {
      out.sources_read_sample->push_back(source.is_string() ? source.get<std::string>()
                                                            : core::py_str(source));
    }
  }
  if (auto count = stats.find("num_sources_read");
      count != stats.end() && count->is_number_integer()) {
    out.num_sources_read = count->get<std::int64_t>();
  }
  return out;
}

std::string error_message(const Value& data) {
  const Value* error = &data;
  if (auto it = data.find("error"); it != data.end() && it->is_object()) error = &*it;
  if (auto message = error->find("message"); message != error->end() && message->is_string()) {
    return message->get<std::string>();
  }
  return data.dump();
}

}  // namespace

TaskRunEvent parse_event(std::string_view name, std::string_view data,
                         std::string_view quoted_run_id, const net::Quoting& quoting,
                         std::size_t max_memory) {
  Value value = net::parse_json_object(
      data,
      "The event " + quoting.excerpt(name) + " of Parallel task run " + std::string(quoted_run_id),
      quoting, max_memory);
  TaskRunEvent event;
  auto type = value.find("type");
  event.type =
      type != value.end() && type->is_string() ? type->get<std::string>() : std::string(name);
  if (event.type == "error") {
    throw core::RuntimeError("Parallel sent an error event for run " + std::string(quoted_run_id) +
                             ": " + quoting.line(error_message(value)));
  }
  if (auto message = value.find("message"); message != value.end() && message->is_string()) {
    event.message = message->get<std::string>();
  }
  if (auto stats = value.find("source_stats"); stats != value.end()) {
    event.source_stats = parse_stats(*stats);
  }
  if (auto run = value.find("run"); run != value.end() && run->is_object()) {
    event.run = std::move(*run);
  }
  return event;
}

TaskRun parse_run(const Value& answer, std::string_view source, const net::Quoting& quoting) {
  auto id = answer.is_object() ? answer.find("run_id") : answer.end();
  if (!answer.is_object() || id == answer.end() || !id->is_string() ||
      id->get<std::string>().empty()) {
    lacks(source, "run id", answer, quoting);
  }
  TaskRun run;
  run.run_id = id->get<std::string>();
  if (auto status = answer.find("status"); status != answer.end() && status->is_string()) {
    run.status = status->get<std::string>();
  }
  run.raw = answer;
  return run;
}

TaskRunResult parse_result(Value answer, std::string_view source, const net::Quoting& quoting) {
  auto output = answer.is_object() ? answer.find("output") : answer.end();
  if (!answer.is_object() || output == answer.end() || !output->is_object()) {
    lacks(source, "output", answer, quoting);
  }
  TaskRunResult result;
  result.output = std::move(*output);
  if (auto run = answer.find("run"); run != answer.end() && run->is_object()) {
    result.run = std::move(*run);
  }
  // Today's service lists MCP tool calls in "mcp_tool_calls"; readers look
  // for them where older combinations of betas put them.
  Value& out = result.output;
  auto calls = out.find("mcp_tool_calls");
  if (calls == out.end() || !calls->is_array()) return result;
  auto beta_fields = out.find("beta_fields");
  if (beta_fields == out.end() || beta_fields->is_null()) {
    out["beta_fields"] = Value::object();
    beta_fields = out.find("beta_fields");
  }
  if (beta_fields->is_object() && !beta_fields->contains(MCP_SERVER_BETA)) {
    (*beta_fields)[std::string(MCP_SERVER_BETA)] = *calls;
  }
  return result;
}

}  // namespace zelq::providers::parallel::wire
