// What every client of an outside service does the same way: reading its
// settings from the caller's parameters, finding and checking its API key,
// and turning its settings into the options of its net::ApiClient.
#pragma once

#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zelq/core/value.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/service_options.hpp"

namespace zelq::net {

// The ServiceOptions a settings object may set, in this order: "base_url",
// "max_concurrency", "max_retries", "retry_base_delay", "retry_max_delay",
// "max_retry_after", "connect_timeout", "idle_timeout", "timeout".
// Durations are seconds.
const std::vector<std::string_view>& service_setting_keys();

// How messages name a client's settings: `whole` the object ("The OpenAI
// configuration"), `entry` one setting ("OpenAI setting"), `known` the
// label of the list of accepted names ("known settings").
struct SettingNames {
  std::string_view whole;
  std::string_view entry;
  std::string_view known;
};

// Applies setting `key` (one of service_setting_keys()) to `options`: a
// base URL (http or https, see checked_base_url), an integer >= 1
// (max_concurrency), an integer >= 0 (max_retries, at most 1000 used),
// seconds >= 0 (the retry delays) or > 0 (the time limits; "timeout" may be
// null for none). Throws zelq::core::ValueError "Invalid <entry> '<key>':
// expected <what>, got <value>.", or for a base URL given as text,
// checked_base_url's error.
void apply_service_setting(ServiceOptions& options, std::string_view key,
                           const core::Value& value, std::string_view entry);

// Reads the settings object `params` (an object, or null for none): each
// entry must be named in `keys` (in the order messages list them); one of
// service_setting_keys() is applied to `options`, any other is handed to
// `own` (ignored when `own` is empty). Throws zelq::core::ValueError
// "<whole> must be an object, got a JSON <type>." and "Unknown <entry>
// '<key>'; <known>: '<k1>', '<k2>', ...."; what apply_service_setting and
// `own` throw.
void read_service_settings(
    const core::Value& params, const SettingNames& names, std::span<const std::string_view> keys,
    ServiceOptions& options,
    const std::function<void(const std::string&, const core::Value&)>& own = {});

// The text of an "api_key" entry: "" for null, else the text. Throws
// zelq::core::ValueError "Invalid <entry> 'api_key': expected a text." for
// another kind (the value is never shown).
std::string api_key_entry(const core::Value& value, std::string_view entry);

// Throws zelq::core::ValueError "The <service> API key is empty." or "The
// <service> API key holds white space or control characters." (the key is
// never shown).
void check_api_key(std::string_view key, std::string_view service);

// `given` when it is not empty, else the first of the environment variables
// `env` that is set and not empty; checked as check_api_key. Throws
// zelq::core::ValueError "No <service> API key: pass <how> or set <A> or
// <B>." when neither gives one.
std::string api_key_or_environment(std::string given, std::string_view service,
                                   std::string_view how,
                                   std::initializer_list<std::string_view> env);

// The quoting policy of a client built from `client_params`: it masks the
// key such a client sends, their "api_key" when that is a non-empty text,
// else the first of the environment variables `env` that is set and not
// empty (as api_key_or_environment finds it), else nothing; and every
// other key its owner knows (with_known_keys). Read once, when the client
// is built. Throws nothing but std::bad_alloc: a client
// that needs a key refuses a missing or malformed one itself.
Quoting quoting_of(const core::Value& client_params, std::initializer_list<std::string_view> env);

// `client` (the policy of a client built from `client_params`), also
// masking every other key the one who built it knows: the "api_key" of
// `client_params` when it is a text, and the key in each of the environment
// variables `env` that is set. A researcher quotes what its service sent
// with it, whichever key its client sends and whatever the client masks.
// Reads the environment when called. Throws nothing but std::bad_alloc.
Quoting with_known_keys(const Quoting& client, const core::Value& client_params,
                        std::initializer_list<std::string_view> env);

// The options of a service's ApiClient: `settings`, with the key checked
// (check_api_key naming `service`), `headers` sent with every request (the
// key in the service's header, API versions) and `user_agent`; its
// known_keys are the keys in the environment variables `env` that are set,
// so that the client's errors mask every key its owner knows
// (with_known_keys), whichever one it sends. Reads the environment when
// called.
ApiClientOptions api_client_options(const ServiceOptions& settings, std::string_view service,
                                    HttpHeaders headers, std::string user_agent,
                                    std::initializer_list<std::string_view> env = {});

}  // namespace zelq::net
