#include "zelq/providers/parallel/http_task_run_client.hpp"

#include <algorithm>
#include <cmath>

#include <exception>
#include <vector>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/service.hpp"
#include "zelq/net/url.hpp"

namespace zelq::providers::parallel {

namespace asio = boost::asio;
using core::Value;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRunStillActive = 408;
constexpr int kRunNotFound = 404;

std::string events_path(const std::string& run_id) {
  std::string path(EVENTS_PATH);
  path.replace(path.find("{run_id}"), 8, net::path_segment(run_id));
  return path;
}

std::optional<double> read_timeout(const Value& value) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0) {
    throw core::ValueError(
        "The Parallel request setting 'timeout' must be a number of seconds "
        ">= 0 or null, got " +
        core::py_repr(value) + ".");
  }
  return value.get<double>();
}

std::string read_betas(const Value& value) {
  std::string joined;
  if (value.is_null()) return joined;
  const bool texts = value.is_array() && std::all_of(value.begin(), value.end(),
                                                     [](const Value& v) { return v.is_string(); });
  if (!texts) {
    throw core::ValueError("The Parallel request setting 'betas' must be a list of texts, got " +
                           core::py_repr(value) + ".");
  }
  for (const Value& beta : value) joined += (joined.empty() ? "" : ",") + beta.get<std::string>();
  return joined;
}

// A positive limit in seconds, or none (null, zero and negative mean none).
std::optional<double> limit_of(std::optional<double> timeout) {
  if (!timeout || !(*timeout > 0)) return std::nullopt;
  return timeout;
}

[[noreturn]] void throw_run_failed(const net::HttpError& error, const std::string& run_id,
                                   const TaskRunClient& client) {
  std::throw_with_nested(
      TaskRunFailedError(run_id, std::string(STATUS_FAILED), error.message(), client.quoting()));
}

net::ApiClientOptions api_options(const HttpTaskRunClientOptions& options) {
  net::ApiClientOptions api = net::api_client_options(
      options, "Parallel", {{"x-api-key", options.api_key}}, "zelq-parallel/0.1", {API_KEY_ENV});
  // A result request is silent while the service waits for the run: the
  // wait for its answer must outlast the longest wait asked for.
  api.idle_timeout =
      std::max(api.idle_timeout, net::to_millis(options.max_result_wait + options.result_margin));
  return api;
}

HttpTaskRunClientOptions checked(HttpTaskRunClientOptions options) {
  options.api_key = resolve_api_key(Value{{"api_key", options.api_key}});
  if (!(options.max_result_wait > 0) || !(options.result_retry_interval >= 0) ||
      !(options.result_margin >= 0)) {
    throw core::ValueError(
        "The Parallel client needs max_result_wait > 0, result_retry_interval >= 0 and "
        "result_margin >= 0 (seconds).");
  }
  return options;
}

class HttpTaskRunEventStream : public TaskRunEventStream {
 public:
  // `read_limit` is the longest wait of one read, in seconds.
  HttpTaskRunEventStream(net::ApiEventStream stream, const std::string& run_id,
                         net::Quoting quoting, double read_limit)
      : stream_(std::move(stream)),
        quoted_run_id_(quoting.quoted(run_id)),
        quoting_(std::move(quoting)),
        read_limit_(read_limit) {}

  asio::awaitable<std::optional<TaskRunEvent>> next() override {
    for (;;) {
      std::optional<net::SseEvent> event;
      try {
        event = co_await stream_.next();
      } catch (const net::StreamIdleError&) {
        // The limit of this request's reads, not an idle limit of the
        // caller's: say which one ran out.
        std::throw_with_nested(core::TimeoutError(
            "Reading the events of Parallel task run " + quoted_run_id_ +
            " timed out: nothing arrived within the " + seconds_text(read_limit_) +
            "-second read timeout of the events request."));
      }
      if (!event) co_return std::nullopt;
      if (core::py_is_blank(event->data)) continue;
      co_return wire::parse_event(event->event, event->data, quoted_run_id_, quoting_,
                                  stream_.max_memory());
    }
  }

  void close() noexcept override { stream_.close(); }

 private:
  net::ApiEventStream stream_;
  // The run's id as errors name it: the service chose it.
  std::string quoted_run_id_;
  net::Quoting quoting_;
  double read_limit_;
};

}  // namespace

HttpTaskRunClient::HttpTaskRunClient(HttpTaskRunClientOptions options)
    : HttpTaskRunClient(checked(std::move(options)), Checked{}) {}

HttpTaskRunClient::HttpTaskRunClient(HttpTaskRunClientOptions options, Checked)
    : HttpTaskRunClient(options, net::ApiClient(api_options(options))) {}

HttpTaskRunClient::HttpTaskRunClient(HttpTaskRunClientOptions options, net::ApiClient api)
    : TaskRunClient(api.quoting()), options_(std::move(options)), api_(std::move(api)) {}

asio::awaitable<TaskRun> HttpTaskRunClient::create(Value params) const {
  return create_run(std::move(params), nullptr);
}

asio::awaitable<TaskRun> HttpTaskRunClient::create_run(Value params,
                                                       std::shared_ptr<core::RunLedger> run) const {
  if (!params.is_object()) {
    throw core::ValueError("The parameters of a Parallel task run must be an object, got " +
                           core::py_repr(params) + ".");
  }
  net::ApiRequest request;
  request.path = "v1/tasks/runs";
  request.body = Value::object();
  for (auto& [key, value] : params.items()) {
    if (key == "timeout") {
      if (auto limit = limit_of(read_timeout(value))) request.timeout = net::to_millis(*limit);
    } else if (key == "betas") {
      if (std::string betas = read_betas(value); !betas.empty()) {
        request.headers.emplace_back(std::string(BETA_HEADER), std::move(betas));
      }
    } else {
      (*request.body)[key] = std::move(value);
    }
  }
  const std::string source = "The answer of " + api_.endpoint("POST", request.path);
  request.run = std::move(run);
  Value answer = co_await api_.request_json(std::move(request));
  co_return wire::parse_run(answer, source, quoting());
}

asio::awaitable<std::unique_ptr<TaskRunEventStream>> HttpTaskRunClient::events(
    std::string run_id, std::optional<double> timeout) const {
  net::ApiRequest request;
  request.method = "GET";
  request.path = events_path(run_id);
  request.headers.emplace_back(std::string(BETA_HEADER), std::string(EVENTS_SSE_BETA));
  const std::optional<double> limit = limit_of(timeout);
  if (limit) request.event_timeout = net::to_millis(*limit);
  const double read_limit =
      limit ? *limit : std::chrono::duration<double>(api_.options().idle_timeout).count();
  std::optional<net::ApiEventStream> stream;
  try {
    stream.emplace(co_await api_.request_events(std::move(request)));
  } catch (const net::HttpError& error) {
    if (error.status() != kRunNotFound) throw;
    throw_run_failed(error, run_id, *this);
  }
  co_return std::make_unique<HttpTaskRunEventStream>(std::move(*stream), run_id, quoting(),
                                                     read_limit);
}

asio::awaitable<std::optional<TaskRunResult>> HttpTaskRunClient::ask_result(
    std::string run_id, double wait, std::optional<double> time_left) const {
  net::ApiRequest request;
  request.method = "GET";
  request.path = "v1/tasks/runs/" + net::path_segment(run_id) +
                 "/result?timeout=" + std::to_string(static_cast<long long>(std::ceil(wait)));
  request.headers.emplace_back(std::string(BETA_HEADER), std::string(MCP_SERVER_BETA));
  const double attempt_limit = std::ceil(wait) + options_.result_margin;
  request.timeout = net::to_millis(time_left ? std::min(*time_left, attempt_limit) : attempt_limit);
  const std::string source = "The answer of " + api_.endpoint("GET", request.path);
  std::optional<Value> answer;
  try {
    answer.emplace(co_await api_.request_json(std::move(request)));
  } catch (const net::HttpError& error) {
    if (error.status() == kRunNotFound) throw_run_failed(error, run_id, *this);
    if (error.status() != kRunStillActive) throw;
  }
  if (!answer) co_return std::nullopt;
  co_return wire::parse_result(std::move(*answer), source, quoting());
}

asio::awaitable<TaskRunResult> HttpTaskRunClient::result(std::string run_id,
                                                         std::optional<double> timeout) const {
  const std::optional<double> limit = limit_of(timeout);
  const Clock::time_point start = Clock::now();
  auto left = [&]() -> double {
    if (!limit) return options_.max_result_wait;
    return *limit - std::chrono::duration<double>(Clock::now() - start).count();
  };
  auto still_active = [&] {
    return core::TimeoutError("Parallel task run " + quoting().quoted(run_id) +
                              " was still active after " + seconds_text(*limit) + " seconds.");
  };
  for (;;) {
    const double time_left = left();
    const double wait = std::min(time_left, options_.max_result_wait);
    if (wait <= 0) throw still_active();
    // The service's wait is whole seconds and its answer may come late.
    // With a deadline, the request ends by it, however far off it is: its
    // retries of 429 and 5xx answers and their back-offs included.
    const std::optional<double> bound = limit ? std::optional<double>(time_left) : std::nullopt;
    const Clock::time_point asked = Clock::now();
    std::optional<TaskRunResult> result;
    try {
      auto asking = ask_result(run_id, wait, bound);
      if (bound) {
        asking = core::with_timeout(std::move(asking), std::chrono::duration<double>(*bound));
      }
      result = co_await std::move(asking);
    } catch (const core::TimeoutError&) {
      // Another limit (connecting, an idle connection) keeps its own error.
      if (!bound || left() > 0) throw;
      std::throw_with_nested(still_active());
    }
    if (result) co_return std::move(*result);
    // An early 408 (a proxy, a service restart): pause before asking again,
    // never less than the floor, whatever the setting says.
    const double waited = std::chrono::duration<double>(Clock::now() - asked).count();
    if (waited < wait) {
      const double pause = net::floored_pause(options_.result_retry_interval);
      co_await core::sleep_for(std::min(pause, std::max(left(), 0.0)));
    }
  }
}

TaskRunClientFactory http_task_run_client_factory(HttpTaskRunClientOptions base) {
  return [base = std::move(base)](const Value& client_params) -> TaskRunClientPtr {
    static constexpr net::SettingNames kNames{.whole = "The Parallel client parameters",
                                              .entry = "Parallel client parameter",
                                              .known = "known parameters"};
    static const std::vector<std::string_view> keys = [] {
      std::vector<std::string_view> all = {"api_key"};
      const auto& shared = net::service_setting_keys();
      all.insert(all.end(), shared.begin(), shared.end());
      return all;
    }();
    HttpTaskRunClientOptions options = base;
    net::read_service_settings(client_params, kNames, keys, options,
                               [&options](const std::string&, const Value& value) {
                                 std::string key = net::api_key_entry(value, kNames.entry);
                                 if (!key.empty()) options.api_key = std::move(key);
                               });
    return std::make_shared<const HttpTaskRunClient>(std::move(options));
  };
}

}  // namespace zelq::providers::parallel
