#include "zelq/providers/parallel/task_run_client.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "zelq/core/pytext.hpp"

namespace zelq::providers::parallel {

namespace {

std::string failure_text(const std::string& run_id, const std::string& status,
                         const std::string& message) {
  std::string text =
      "Parallel task run " + core::py_repr(run_id) + " ended with status " + core::py_repr(status);
  if (!message.empty()) text += ": " + message;
  return text;
}

}  // namespace

TaskRunFailedError::TaskRunFailedError(std::string run_id, std::string status, std::string message)
    : core::RuntimeError(failure_text(run_id, status, message)),
      run_id_(std::move(run_id)),
      status_(std::move(status)) {}

std::string seconds_text(double seconds) {
  if (std::isfinite(seconds) && std::trunc(seconds) == seconds && std::fabs(seconds) < 1e15) {
    return std::to_string(static_cast<long long>(seconds));
  }
  return core::py_float_repr(seconds);
}

std::string resolve_api_key(const core::Value& client_params) {
  std::string key;
  if (client_params.is_object()) {
    if (auto it = client_params.find("api_key"); it != client_params.end() && !it->is_null()) {
      if (!it->is_string()) {
        throw core::ValueError(
            "The Parallel client parameter 'api_key' must be a text, got a JSON " +
            std::string(it->type_name()) + ".");
      }
      key = it->get<std::string>();
    }
  } else if (!client_params.is_null()) {
    throw core::ValueError("The Parallel client parameters must be an object, got a JSON " +
                           std::string(client_params.type_name()) + ".");
  }
  if (key.empty()) {
    const char* env = std::getenv(std::string(API_KEY_ENV).c_str());
    if (env == nullptr || *env == '\0') {
      throw core::ValueError("No Parallel API key: pass api_key or set " +
                             std::string(API_KEY_ENV) + ".");
    }
    key = env;
  }
  if (std::any_of(key.begin(), key.end(), [](unsigned char c) { return c <= ' ' || c == 127; })) {
    throw core::ValueError("The Parallel API key holds white space or control characters.");
  }
  return key;
}

}  // namespace zelq::providers::parallel
