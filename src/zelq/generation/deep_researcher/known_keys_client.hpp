// The application's client as a researcher uses it, once for every service.
#pragma once

#include <initializer_list>
#include <string_view>
#include <utility>

#include "zelq/core/value.hpp"
#include "zelq/net/service.hpp"

namespace zelq::generation::deep_researcher {

// The application's client as the researcher uses it: every call goes to
// it, and the texts of the service are quoted with every key the researcher
// knows (net::with_known_keys): the one it was given in `client_params`,
// those in the service's environment variables `env`, and the client's own.
// A client built without the client parameters masks only the key in the
// environment itself. `Client` is the service's abstract client, `Ptr` the
// pointer a factory returns; a service's wrapper derives from this and
// forwards each call of the client to inner().
template <class Client, class Ptr>
class KnownKeysClient : public Client {
 protected:
  // `client` is not null.
  KnownKeysClient(Ptr client, const core::Value& client_params,
                  std::initializer_list<std::string_view> env)
      : Client(net::with_known_keys(client->quoting(), client_params, env)),
        client_(std::move(client)) {}

  const Ptr& inner() const noexcept { return client_; }

 private:
  Ptr client_;
};

}  // namespace zelq::generation::deep_researcher
