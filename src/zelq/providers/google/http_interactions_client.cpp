#include "zelq/providers/google/http_interactions_client.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/json_text.hpp"
#include "zelq/net/service.hpp"
#include "zelq/net/url.hpp"
#include "zelq/providers/google/detail/http_interaction_stream.hpp"

namespace zelq::providers::google {

namespace asio = boost::asio;
using core::Value;

namespace {

constexpr net::SettingNames kParams{
    .whole = "The Google client parameters", .entry = "Google client parameter", .known = "known"};

[[noreturn]] void bad_entry(std::string_view key, std::string_view expected, const Value& value) {
  throw core::ValueError("Invalid Google client parameter " + core::py_repr(key) + ": expected " +
                         std::string(expected) + ", got " + core::py_repr(value) + ".");
}

void read_http_options(const Value& http, HttpInteractionsOptions& options) {
  if (http.is_null()) return;
  if (!http.is_object()) bad_entry("http_options", "an object or null", http);
  for (const auto& [key, value] : http.items()) {
    if (key == "timeout") {
      if (value.is_null()) continue;
      if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() <= 0) {
        bad_entry("http_options.timeout", "milliseconds > 0 or null", value);
      }
      options.timeout = std::chrono::milliseconds(
          static_cast<long long>(std::ceil(std::min(value.get<double>(), 1e12))));
    } else if (key == "base_url") {
      if (!value.is_string()) bad_entry("http_options.base_url", "a URL text", value);
      options.base_url = value.get<std::string>();
    } else {
      throw core::ValueError("Unknown Google client parameter 'http_options." + key +
                             "'; known: 'timeout', 'base_url'.");
    }
  }
}

// The request's own time-out: "timeout" in seconds; null or 0 keeps the
// client's.
std::optional<std::chrono::milliseconds> request_timeout(const Value& timeout,
                                                         const HttpInteractionsOptions& options) {
  if (timeout.is_null()) return options.timeout;
  if (!timeout.is_number() || !std::isfinite(timeout.get<double>()) || timeout.get<double>() < 0) {
    throw core::ValueError(
        "The 'timeout' of an interactions request must be a number of seconds "
        ">= 0 or null, got " +
        core::py_repr(timeout) + ".");
  }
  if (timeout.get<double>() == 0) return options.timeout;
  return net::to_millis(timeout.get<double>());
}

net::ApiClientOptions api_options(const HttpInteractionsOptions& options) {
  return net::api_client_options(
      options, "Google",
      {{"x-goog-api-key", options.api_key}, {"Api-Revision", std::string(API_REVISION)}},
      "zelq-google/0.1", {API_KEY_ENV[0], API_KEY_ENV[1]});
}

void append_text_items(const Value& items, std::vector<InteractionOutput>& outputs) {
  if (!items.is_array()) return;
  for (const Value& item : items) {
    if (!item.is_object() || item.value("type", std::string("text")) != "text") continue;
    auto text = item.find("text");
    outputs.push_back({.type = "text",
                       .text = text != item.end() && text->is_string()
                                   ? std::optional<std::string>(text->get<std::string>())
                                   : std::nullopt});
  }
}

}  // namespace

std::optional<Interaction> HttpInteractionsClient::named_record(const std::string& text,
                                                                const std::string& source) const {
  try {
    Interaction record = parse_interaction(
        net::parse_json_object(text, source, api_.quoting(), api_.options().max_body_size), source);
    if (!record.id.empty()) return record;
  } catch (const std::exception&) {
    // Not a record: the answer's own error says what it was.
  }
  return std::nullopt;
}

HttpInteractionsOptions HttpInteractionsOptions::from_client_params(const Value& params) {
  static const std::vector<std::string_view> keys = {
      "api_key",         "http_options",    "max_concurrency", "max_retries", "retry_base_delay",
      "retry_max_delay", "max_retry_after", "connect_timeout", "idle_timeout"};
  HttpInteractionsOptions options;
  std::string key;
  net::read_service_settings(params, kParams, keys, options,
                             [&](const std::string& name, const Value& value) {
                               if (name == "api_key") {
                                 key = net::api_key_entry(value, kParams.entry);
                               } else {
                                 read_http_options(value, options);
                               }
                             });
  options.api_key = net::api_key_or_environment(std::move(key), "Google", "api_key",
                                                {API_KEY_ENV[0], API_KEY_ENV[1]});
  return options;
}

HttpInteractionsClient::HttpInteractionsClient(HttpInteractionsOptions options)
    : HttpInteractionsClient(options, net::ApiClient(api_options(options))) {}

HttpInteractionsClient::HttpInteractionsClient(HttpInteractionsOptions options, net::ApiClient api)
    : InteractionsClient(api.quoting()), options_(std::move(options)), api_(std::move(api)) {}

// GCC 12 reports a mismatched operator delete inside this coroutine's frame
// handling, which Asio allocates and frees with its own matching pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
asio::awaitable<CreateInteractionResult> HttpInteractionsClient::create(
    CreateInteractionRequest request) const {
  const Value config = request.config.is_null() ? Value::object() : std::move(request.config);
  if (!config.is_object()) {
    throw core::TypeError("The keywords of an interactions request must be an object, got " +
                          core::py_repr(config) + ".");
  }
  Value body = {{"input", std::move(request.input)}, {"agent", std::move(request.agent)}};
  for (const auto& [key, value] : config.items()) {
    if (key == "input" || key == "agent") {
      throw core::TypeError("The interactions request got multiple values for " +
                            core::py_repr(key) + ".");
    }
    if (key != "timeout") body[key] = value;
  }
  net::ApiRequest api_request;
  api_request.path = "interactions";
  const auto timeout = request_timeout(config.value("timeout", Value()), options_);
  api_request.timeout = timeout;
  const bool stream = core::py_truthy(config.value("stream", Value()));
  api_request.body = std::move(body);
  api_request.run = std::move(request.run);
  const std::string endpoint = api_.endpoint("POST", "interactions");
  if (stream) {
    std::exception_ptr not_a_stream;
    std::optional<Interaction> record;
    try {
      net::ApiEventStream events = co_await api_.request_events(std::move(api_request));
      const net::ResumeOptions pacing{.max_empty_resumes = options_.max_resumes,
                                      .base_delay = options_.retry_base_delay,
                                      .max_delay = options_.retry_max_delay,
                                      .max_server_delay = options_.max_retry_after};
      co_return std::make_unique<HttpInteractionStream>(api_, std::move(events), timeout, pacing);
    } catch (const net::NotAnEventStreamError& error) {
      not_a_stream = std::current_exception();
      record = named_record(error.body(), "The answer of " + endpoint);
    }
    // The record of the interaction created is that interaction: it is
    // followed, never created again.
    if (!record) std::rethrow_exception(not_a_stream);
    co_return std::move(*record);
  }
  Interaction record = parse_interaction(co_await api_.request_json(std::move(api_request)),
                                         "The answer of " + endpoint);
  if (record.id.empty()) {
    throw core::RuntimeError("The answer of " + endpoint + " names no interaction id.");
  }
  co_return record;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

asio::awaitable<Interaction> HttpInteractionsClient::get(std::string id) const {
  if (id.empty()) throw core::ValueError("An interaction id must not be empty.");
  const std::string path = "interactions/" + net::path_segment(id);
  Value answer = co_await api_.get_json(path);
  Interaction record = parse_interaction(answer, "The answer of " + api_.endpoint("GET", path));
  if (record.id.empty()) record.id = std::move(id);
  co_return record;
}

asio::awaitable<void> HttpInteractionsClient::cancel(std::string id) const {
  if (id.empty()) throw core::ValueError("An interaction id must not be empty.");
  net::ApiRequest request;
  request.path = "interactions/" + net::path_segment(id) + "/cancel";
  request.timeout = options_.cancel_timeout;
  request.stops_work = true;
  co_await api_.request_json(std::move(request));
}

InteractionsClient::InteractionsClient(const Value& client_params)
    : QuotingHolder(net::quoting_of(client_params, {API_KEY_ENV[0], API_KEY_ENV[1]})) {}

InteractionsClientPtr make_http_interactions_client(const Value& client_params) {
  return std::make_shared<HttpInteractionsClient>(
      HttpInteractionsOptions::from_client_params(client_params));
}

Interaction parse_interaction(const Value& record, std::string_view source) {
  if (!record.is_object()) {
    throw core::RuntimeError(std::string(source) + " is not an interaction record but " +
                             std::string("a JSON ") + record.type_name() + ".");
  }
  Interaction interaction;
  if (auto id = record.find("id"); id != record.end() && id->is_string()) {
    interaction.id = id->get<std::string>();
  }
  if (auto status = record.find("status"); status != record.end() && status->is_string()) {
    interaction.status = status->get<std::string>();
  }
  if (auto steps = record.find("steps"); steps != record.end() && steps->is_array()) {
    for (const Value& step : *steps) {
      if (step.is_object() && step.value("type", std::string()) == "model_output") {
        append_text_items(step.value("content", Value()), interaction.outputs);
      }
    }
  } else {
    append_text_items(record.value("outputs", Value()), interaction.outputs);
  }
  interaction.errors = record.value("errors", Value());
  return interaction;
}

}  // namespace zelq::providers::google
