// Loopback imitations of the four research services (OpenAI Responses,
// Google Interactions, Parallel Task API, Perplexity chat completions), in
// the wire shapes the client tests replay. Each plays one scenario for
// every run it is asked to start:
//   normal   the run streams its thinking, activity and answer, then ends;
//   dropped  the first stream breaks mid-event; resumed or retried, the run
//            goes on to its end;
//   stalled  every stream goes silent after the first events;
//   401      every request is refused with an HTML page;
//   failed   the service reports the run failed (with a reason);
//   empty    the run completes without answer text.
// An imitation counts the requests that create a run, those that cancel one,
// and all requests. It answers on a net::testing::LoopbackServer: not
// thread-safe, one io_context.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "zelq/net/testing/loopback_server.hpp"

namespace zelq::examples::imitation {

enum class Scenario { NORMAL, DROPPED, STALLED, REFUSED, FAILED, EMPTY };

// "normal", "dropped", "stalled", "401", "failed", "empty".
std::string_view to_string(Scenario scenario);
// The scenario of such a name; throws std::invalid_argument listing the
// names otherwise.
Scenario parse_scenario(std::string_view name);

inline constexpr std::string_view kServices[] = {"openai", "google", "parallel", "perplexity"};
inline constexpr Scenario kScenarios[] = {Scenario::NORMAL,  Scenario::DROPPED, Scenario::STALLED,
                                          Scenario::REFUSED, Scenario::FAILED,  Scenario::EMPTY};

struct RequestCounts {
  std::size_t creates = 0;
  std::size_t cancels = 0;
  std::size_t total = 0;
};

class ServiceImitation {
 public:
  // Runs are created by POST requests whose path ends with `create_path`,
  // and cancelled by POST requests whose path ends with "/cancel".
  ServiceImitation(Scenario scenario, std::string create_path)
      : scenario_(scenario), create_path_(std::move(create_path)) {}
  virtual ~ServiceImitation() = default;
  ServiceImitation(const ServiceImitation&) = delete;
  ServiceImitation& operator=(const ServiceImitation&) = delete;

  // Answers one request: counts it, refuses it in the 401 scenario, else
  // plays the scenario. For a LoopbackServer's handler; the imitation must
  // outlive the server's connections.
  boost::asio::awaitable<void> serve(net::testing::Exchange& exchange);

  // The base URL a client of the service is given, on a server of `origin`
  // ("http://127.0.0.1:<port>").
  virtual std::string base_url(const std::string& origin) const = 0;

  const RequestCounts& counts() const noexcept { return counts_; }
  Scenario scenario() const noexcept { return scenario_; }

 protected:
  enum class Kind { CREATE, CANCEL, OTHER };

  Kind kind_of(const net::testing::ReceivedRequest& request) const;
  virtual boost::asio::awaitable<void> answer(net::testing::Exchange& exchange) = 0;

  // Sends `frames` as an event stream and ends it; dropped: breaks it after
  // the frames before `cut` and half of the next; stalled: goes silent after
  // them until the client hangs up.
  enum class Ending { END, DROP, STALL };
  static boost::asio::awaitable<void> stream(net::testing::Exchange& exchange,
                                             std::vector<std::string> frames, std::size_t cut,
                                             Ending ending);

  // How the stream that starts a run ends: stalled, dropped the first time
  // in the dropped scenario, else at its end.
  Ending opening_ending();
  // How a stream that resumes or replays a run ends: stalled in the stalled
  // scenario, else at its end.
  Ending resumed_ending() const;

  // A request the imitation does not know: 404 naming it.
  static boost::asio::awaitable<void> unknown(net::testing::Exchange& exchange);

  // The numbered id of a new run: "<prefix>_<n>".
  std::string next_id(std::string_view prefix);

 private:
  Scenario scenario_;
  std::string create_path_;
  RequestCounts counts_;
  std::size_t ids_ = 0;
  bool dropped_ = false;
};

// The imitation of `service` (one of kServices) playing `scenario`. Throws
// std::invalid_argument for an unknown service.
std::unique_ptr<ServiceImitation> make_imitation(std::string_view service, Scenario scenario);

// The path of a request target (no query) and the value of one query
// parameter ("" when absent; not decoded).
std::string target_path(std::string_view target);
std::string query_value(std::string_view target, std::string_view name);

// The path segment after `collection` in `path` ("/v1/responses/r_1/cancel",
// "responses" gives "r_1"); "" when there is none.
std::string segment_after(std::string_view path, std::string_view collection);

// Makers of each service (the other imitation files).
std::unique_ptr<ServiceImitation> make_openai_imitation(Scenario scenario);
std::unique_ptr<ServiceImitation> make_google_imitation(Scenario scenario);
std::unique_ptr<ServiceImitation> make_parallel_imitation(Scenario scenario);
std::unique_ptr<ServiceImitation> make_perplexity_imitation(Scenario scenario);

}  // namespace zelq::examples::imitation
