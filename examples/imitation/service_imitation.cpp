#include "imitation/service_imitation.hpp"

#include <stdexcept>
#include <utility>

namespace zelq::examples::imitation {

namespace asio = boost::asio;
using net::testing::Exchange;

namespace {

// What an edge proxy in front of a service answers for a bad key.
constexpr std::string_view kRefusalPage =
    "<!DOCTYPE html>\n<html>\n<head>\n  <title>401 Unauthorized</title>\n</head>\n<body>\n"
    "  <h1>401 Unauthorized</h1>\n  <p>The request could not be authorized.\n"
    "     Check the API key.</p>\n  <hr>\n  <address>edge-proxy</address>\n</body>\n"
    "</html>\n";

asio::awaitable<void> refuse(Exchange& exchange) {
  co_await exchange.write(
      "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/html\r\nContent-Length: " +
      std::to_string(kRefusalPage.size()) + "\r\n\r\n" + std::string(kRefusalPage));
}

}  // namespace

std::string_view to_string(Scenario scenario) {
  switch (scenario) {
    case Scenario::NORMAL:
      return "normal";
    case Scenario::DROPPED:
      return "dropped";
    case Scenario::STALLED:
      return "stalled";
    case Scenario::REFUSED:
      return "401";
    case Scenario::FAILED:
      return "failed";
    case Scenario::EMPTY:
      return "empty";
  }
  return "?";
}

Scenario parse_scenario(std::string_view name) {
  for (Scenario scenario : kScenarios) {
    if (to_string(scenario) == name) return scenario;
  }
  throw std::invalid_argument("Unknown scenario '" + std::string(name) +
                              "'; known: normal, dropped, stalled, 401, failed, empty.");
}

asio::awaitable<void> ServiceImitation::serve(Exchange& exchange) {
  ++counts_.total;
  const Kind kind = kind_of(exchange.request);
  if (kind == Kind::CREATE) ++counts_.creates;
  if (kind == Kind::CANCEL) ++counts_.cancels;
  if (scenario_ == Scenario::REFUSED) {
    co_await refuse(exchange);
  } else {
    co_await answer(exchange);
  }
}

asio::awaitable<void> ServiceImitation::stream(Exchange& exchange, std::vector<std::string> frames,
                                               std::size_t cut, Ending ending) {
  co_await exchange.start_events();
  const std::size_t sent = ending == Ending::END ? frames.size() : std::min(cut, frames.size());
  for (std::size_t i = 0; i < sent; ++i) co_await exchange.chunk(frames[i]);
  if (ending == Ending::END) {
    co_await exchange.end_events();
  } else if (ending == Ending::DROP) {
    // Half an event, then the connection closes without the last chunk.
    if (sent < frames.size())
      co_await exchange.chunk(frames[sent].substr(0, frames[sent].size() / 2));
    exchange.close();
  } else {
    co_await exchange.wait_for_close();
  }
}

ServiceImitation::Kind ServiceImitation::kind_of(
    const net::testing::ReceivedRequest& request) const {
  if (request.method != "POST") return Kind::OTHER;
  const std::string path = target_path(request.target);
  if (path.ends_with(create_path_)) return Kind::CREATE;
  return path.ends_with("/cancel") ? Kind::CANCEL : Kind::OTHER;
}

ServiceImitation::Ending ServiceImitation::opening_ending() {
  if (scenario_ == Scenario::STALLED) return Ending::STALL;
  if (scenario_ == Scenario::DROPPED && !dropped_) {
    dropped_ = true;
    return Ending::DROP;
  }
  return Ending::END;
}

ServiceImitation::Ending ServiceImitation::resumed_ending() const {
  return scenario_ == Scenario::STALLED ? Ending::STALL : Ending::END;
}

asio::awaitable<void> ServiceImitation::unknown(Exchange& exchange) {
  co_await exchange.respond(404, R"({"error":{"message":"No such endpoint: )" +
                                     exchange.request.method + " " +
                                     target_path(exchange.request.target) + R"("}})");
}

std::string ServiceImitation::next_id(std::string_view prefix) {
  return std::string(prefix) + "_" + std::to_string(++ids_);
}

std::unique_ptr<ServiceImitation> make_imitation(std::string_view service, Scenario scenario) {
  if (service == "openai") return make_openai_imitation(scenario);
  if (service == "google") return make_google_imitation(scenario);
  if (service == "parallel") return make_parallel_imitation(scenario);
  if (service == "perplexity") return make_perplexity_imitation(scenario);
  throw std::invalid_argument("Unknown service '" + std::string(service) +
                              "'; known: openai, google, parallel, perplexity.");
}

std::string target_path(std::string_view target) {
  return std::string(target.substr(0, target.find('?')));
}

std::string query_value(std::string_view target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return {};
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (pair.substr(0, eq) == name) {
      return eq == std::string_view::npos ? std::string() : std::string(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return {};
}

std::string segment_after(std::string_view path, std::string_view collection) {
  const std::string marker = "/" + std::string(collection) + "/";
  const std::size_t at = path.find(marker);
  if (at == std::string_view::npos) return {};
  std::string_view rest = path.substr(at + marker.size());
  return std::string(rest.substr(0, rest.find('/')));
}

}  // namespace zelq::examples::imitation
