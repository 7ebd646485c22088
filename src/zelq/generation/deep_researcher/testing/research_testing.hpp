// What the researchers' tests share: the kind and text of an argument
// error, the OpenAI provider served differently for a while, an environment
// variable set (or every service's key cleared) for a while, counting what
// reached a loopback server, and running a research call that the test may
// cancel.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/errors.hpp"
#include "zelq/net/testing/loopback_server.hpp"
#include "zelq/providers/openai/openai_lm_invoker.hpp"
#include "zelq/providers/registry.hpp"

namespace zelq::generation::deep_researcher::testing {

// How a scripted service breaks a research call: its stream stalls, drops,
// sends an error event or ends with the run failed, or it stalls once the
// caller has cancelled the call (through `cancel`).
enum class Break { STALL, DROP, ERROR_EVENT, FAIL, CANCEL };

// What every breaking service of the tests keeps: how it breaks, the signal
// through which the call is cancelled, and how many runs it created.
struct BreakingService {
  explicit BreakingService(Break mode) : mode(mode) {}

  Break mode;
  boost::asio::cancellation_signal cancel{};
  int created = 0;
};

// "TypeError: <what>" or "ValueError: <what>" of what `action` throws, or
// "no error".
inline std::string argument_error_of(const std::function<void()>& action) {
  try {
    action();
  } catch (const core::TypeError& e) {
    return std::string("TypeError: ") + e.what();
  } catch (const core::ValueError& e) {
    return std::string("ValueError: ") + e.what();
  }
  return "no error";
}

// Serves "openai/..." through `factory` while alive; the real provider
// serves it again afterwards.
class OpenAIProviderOverride {
 public:
  explicit OpenAIProviderOverride(inference::LMInvokerFactory factory) {
    providers::register_lm_provider("openai", std::move(factory));
  }
  ~OpenAIProviderOverride() {
    providers::register_lm_provider("openai", &providers::openai::make_openai_lm_invoker);
  }
  OpenAIProviderOverride(const OpenAIProviderOverride&) = delete;
  OpenAIProviderOverride& operator=(const OpenAIProviderOverride&) = delete;
};

// Sets (or, with nullopt, removes) environment variable `name` while alive;
// the earlier value comes back afterwards.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Clears every variable a client of a service reads its key from, while
// alive.
struct NoKeysInEnvironment {
  ScopedEnv openai{"OPENAI_API_KEY", std::nullopt};
  ScopedEnv gemini{"GEMINI_API_KEY", std::nullopt};
  ScopedEnv google{"GOOGLE_API_KEY", std::nullopt};
  ScopedEnv parallel{"PARALLEL_API_KEY", std::nullopt};
  ScopedEnv perplexity{"PERPLEXITY_API_KEY", std::nullopt};
  ScopedEnv orvo{"ORVOODR_API_KEY", std::nullopt};
};

// The requests the server read, as "<METHOD> <target>", in arrival order.
inline std::vector<std::string> request_lines(const net::testing::LoopbackServer& server) {
  std::vector<std::string> lines;
  for (const auto& request : server.requests)
    lines.push_back(request.method + " " + request.target);
  return lines;
}

// How many requests were `method` to a target ending with `suffix`.
inline std::size_t count_requests(const net::testing::LoopbackServer& server,
                                  std::string_view method, std::string_view suffix) {
  std::size_t count = 0;
  for (const auto& request : server.requests) {
    if (request.method == method && request.target.ends_with(suffix)) ++count;
  }
  return count;
}

// The failure of `call` (null when it succeeded), run with `signal`'s slot
// as its cancellation slot.
template <class T>
boost::asio::awaitable<std::exception_ptr> failure_of(boost::asio::cancellation_signal& signal,
                                                      boost::asio::awaitable<T> call) {
  // (failure) or (failure, result): the failure comes first either way.
  auto outcome = co_await boost::asio::co_spawn(
      co_await boost::asio::this_coro::executor, std::move(call),
      boost::asio::bind_cancellation_slot(signal.slot(),
                                          boost::asio::as_tuple(boost::asio::use_awaitable)));
  co_return std::get<0>(std::move(outcome));
}

// Runs `call` next to `server` on `io` (net::testing::run_client) with
// `signal`'s slot as its cancellation slot (the server's handler may emit
// it) and returns its failure (null when it succeeded).
template <class T>
std::exception_ptr run_cancellable(boost::asio::io_context& io,
                                   net::testing::LoopbackServer& server,
                                   boost::asio::cancellation_signal& signal,
                                   boost::asio::awaitable<T> call) {
  return net::testing::run_client(io, server, failure_of(signal, std::move(call)));
}

}  // namespace zelq::generation::deep_researcher::testing
