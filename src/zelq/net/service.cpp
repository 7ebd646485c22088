#include "zelq/net/service.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "zelq/core/errors.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net {

namespace {

using core::Value;

[[noreturn]] void bad_setting(std::string_view entry, std::string_view key,
                              std::string_view expected, const Value& value) {
  throw core::ValueError("Invalid " + std::string(entry) + " " + core::py_repr(key) +
                         ": expected " + std::string(expected) + ", got " + core::py_repr(value) +
                         ".");
}

double read_seconds(const Value& value, std::string_view key, bool zero_allowed,
                    std::string_view entry) {
  const bool ok = value.is_number() && std::isfinite(value.get<double>()) &&
                  (zero_allowed ? value.get<double>() >= 0 : value.get<double>() > 0);
  if (!ok) {
    bad_setting(entry, key, zero_allowed ? "a number of seconds >= 0" : "a number of seconds > 0",
                value);
  }
  return value.get<double>();
}

long long read_integer(const Value& value, std::string_view key, long long least,
                       std::string_view entry) {
  if (!value.is_number_integer() || value.get<long long>() < least) {
    bad_setting(entry, key, least > 0 ? "a positive integer" : "an integer >= 0", value);
  }
  return value.get<long long>();
}

std::string read_base_url(const Value& value, std::string_view entry) {
  if (!value.is_string()) bad_setting(entry, "base_url", "an http or https URL", value);
  // Throws ValueError naming what is wrong (no http:// or https://, user
  // information, a query or a fragment), with the URL masked: a text URL is
  // judged in the same words at every service.
  return checked_base_url(value.get<std::string>());
}

// The key a client sends: `given` when it is not empty, else the first of
// the environment variables `env` that is set and not empty ("" when none
// is).
std::string key_in_use(std::string given, std::initializer_list<std::string_view> env) {
  for (auto name = env.begin(); given.empty() && name != env.end(); ++name) {
    const char* value = std::getenv(std::string(*name).c_str());
    if (value != nullptr) given = value;
  }
  return given;
}

// The "api_key" of client parameters when it is a text, else "".
std::string given_key(const Value& client_params) {
  if (!client_params.is_object()) return {};
  const auto key = client_params.find("api_key");
  return key != client_params.end() && key->is_string() ? key->get<std::string>() : std::string();
}

std::string listed(std::span<const std::string_view> keys) {
  std::string names;
  for (std::string_view name : keys) names += (names.empty() ? "" : ", ") + core::py_repr(name);
  return names;
}

}  // namespace

std::chrono::milliseconds to_millis(double seconds) noexcept {
  if (!(seconds > 0)) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(static_cast<long long>(std::ceil(std::min(seconds, 1e9) * 1e3)));
}

const std::vector<std::string_view>& service_setting_keys() {
  static const std::vector<std::string_view> names = {
      "base_url",        "max_concurrency", "max_retries",  "retry_base_delay", "retry_max_delay",
      "max_retry_after", "connect_timeout", "idle_timeout", "timeout"};
  return names;
}

void apply_service_setting(ServiceOptions& options, std::string_view key, const Value& value,
                           std::string_view entry) {
  if (key == "base_url") {
    options.base_url = read_base_url(value, entry);
  } else if (key == "max_concurrency") {
    options.max_concurrency = static_cast<std::size_t>(read_integer(value, key, 1, entry));
  } else if (key == "max_retries") {
    options.max_retries = static_cast<int>(std::min(read_integer(value, key, 0, entry), 1000LL));
  } else if (key == "retry_base_delay") {
    options.retry_base_delay = read_seconds(value, key, true, entry);
  } else if (key == "retry_max_delay") {
    options.retry_max_delay = read_seconds(value, key, true, entry);
  } else if (key == "max_retry_after") {
    options.max_retry_after = read_seconds(value, key, true, entry);
  } else if (key == "connect_timeout") {
    options.connect_timeout = to_millis(read_seconds(value, key, false, entry));
  } else if (key == "idle_timeout") {
    options.idle_timeout = to_millis(read_seconds(value, key, false, entry));
  } else if (key == "timeout") {
    options.timeout = value.is_null()
                          ? std::nullopt
                          : std::optional(to_millis(read_seconds(value, key, false, entry)));
  }
}

void read_service_settings(const Value& params, const SettingNames& names,
                           std::span<const std::string_view> keys, ServiceOptions& options,
                           const std::function<void(const std::string&, const Value&)>& own) {
  if (params.is_null()) return;
  if (!params.is_object()) {
    throw core::ValueError(std::string(names.whole) + " must be an object, got a JSON " +
                           params.type_name() + ".");
  }
  const auto& common = service_setting_keys();
  for (const auto& [key, value] : params.items()) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      throw core::ValueError("Unknown " + std::string(names.entry) + " " + core::py_repr(key) +
                             "; " + std::string(names.known) + ": " + listed(keys) + ".");
    }
    if (std::find(common.begin(), common.end(), key) != common.end()) {
      apply_service_setting(options, key, value, names.entry);
    } else if (own) {
      own(key, value);
    }
  }
}

std::string api_key_entry(const Value& value, std::string_view entry) {
  if (value.is_null()) return {};
  if (!value.is_string()) {
    throw core::ValueError("Invalid " + std::string(entry) + " 'api_key': expected a text.");
  }
  return value.get<std::string>();
}

void check_api_key(std::string_view key, std::string_view service) {
  if (key.empty()) throw core::ValueError("The " + std::string(service) + " API key is empty.");
  if (std::any_of(key.begin(), key.end(), [](unsigned char c) { return c <= ' ' || c == 127; })) {
    throw core::ValueError("The " + std::string(service) +
                           " API key holds white space or control characters.");
  }
}

std::string api_key_or_environment(std::string given, std::string_view service,
                                   std::string_view how,
                                   std::initializer_list<std::string_view> env) {
  given = key_in_use(std::move(given), env);
  if (given.empty()) {
    std::string names;
    for (std::string_view name : env) names += (names.empty() ? "" : " or ") + std::string(name);
    throw core::ValueError("No " + std::string(service) + " API key: pass " + std::string(how) +
                           " or set " + names + ".");
  }
  check_api_key(given, service);
  return given;
}

Quoting quoting_of(const Value& client_params, std::initializer_list<std::string_view> env) {
  return with_known_keys(Quoting(key_in_use(given_key(client_params), env)), client_params, env);
}

Quoting with_known_keys(const Quoting& client, const Value& client_params,
                        std::initializer_list<std::string_view> env) {
  Quoting known = client.also_masking(given_key(client_params));
  for (std::string_view name : env) {
    if (const char* value = std::getenv(std::string(name).c_str()))
      known = known.also_masking(value);
  }
  return known;
}

ApiClientOptions api_client_options(const ServiceOptions& settings, std::string_view service,
                                    HttpHeaders headers, std::string user_agent,
                                    std::initializer_list<std::string_view> env) {
  check_api_key(settings.api_key, service);
  ApiClientOptions options;
  static_cast<ServiceOptions&>(options) = settings;
  options.headers = std::move(headers);
  options.user_agent = std::move(user_agent);
  for (std::string_view name : env) {
    if (const char* value = std::getenv(std::string(name).c_str())) {
      options.known_keys.emplace_back(value);
    }
  }
  return options;
}

}  // namespace zelq::net
