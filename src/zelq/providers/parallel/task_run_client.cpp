#include "zelq/providers/parallel/task_run_client.hpp"

#include <cmath>

#include "zelq/core/pytext.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/service.hpp"

namespace zelq::providers::parallel {

namespace {

// `run_id` and `status` as quoted already (key masked, on one line, cut,
// in quotes).
std::string failure_text(const std::string& run_id, const std::string& status,
                         const std::string& message) {
  std::string text = "Parallel task run " + run_id + " ended with status " + status;
  if (!message.empty()) text += ": " + message;
  return text;
}

}  // namespace

TaskRunFailedError::TaskRunFailedError(std::string run_id, std::string status, std::string message,
                                       const net::Quoting& quoting)
    : core::RuntimeError(failure_text(quoting.quoted(run_id), quoting.quoted(status), message)),
      run_id_(std::move(run_id)),
      status_(std::move(status)) {}

boost::asio::awaitable<TaskRun> TaskRunClient::create_run(core::Value params,
                                                         std::shared_ptr<core::RunLedger>) const {
  co_return co_await create(std::move(params));
}

TaskRunClient::TaskRunClient(const core::Value& client_params)
    : QuotingHolder(net::quoting_of(client_params, {API_KEY_ENV})) {}

std::string seconds_text(double seconds) {
  if (std::isfinite(seconds) && std::trunc(seconds) == seconds && std::fabs(seconds) < 1e15) {
    return std::to_string(static_cast<long long>(seconds));
  }
  return core::py_float_repr(seconds);
}

std::string resolve_api_key(const core::Value& client_params) {
  if (!client_params.is_null() && !client_params.is_object()) {
    throw core::ValueError("The Parallel client parameters must be an object, got a JSON " +
                           std::string(client_params.type_name()) + ".");
  }
  std::string key;
  if (client_params.is_object()) {
    if (auto it = client_params.find("api_key"); it != client_params.end()) {
      key = net::api_key_entry(*it, "Parallel client parameter");
    }
  }
  return net::api_key_or_environment(std::move(key), "Parallel", "api_key", {API_KEY_ENV});
}

}  // namespace zelq::providers::parallel
