// Base of every component: its class name, its logger, and the machinery
// around its one main entry.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include <boost/asio/awaitable.hpp>

#include "zelq/core/logging.hpp"

namespace zelq::core {

class Component {
 public:
  Component() = default;
  Component(const Component&) {}
  Component& operator=(const Component&) { return *this; }
  virtual ~Component() = default;

  // The name of the instance's own (most derived) class, e.g. "Ruzededo".
  virtual std::string class_name() const = 0;

 protected:
  // The logger named after class_name(), created on first use. Usable from
  // any member function once the object is fully constructed; a constructor
  // that must log before then asks LoggerManager for its class's name.
  const Logger& _logger() const;

  // The main-entry machinery. A component's main coroutine validates its
  // input first, then returns `co_await _run_main(format_input, body,
  // format_output)`: the input hook text is logged at debug before the body
  // runs and the output hook text (given the result) after it succeeds. The
  // hooks are only called when debug logging is on, so they cost nothing in
  // production. Errors of the body propagate unchanged; nothing is logged
  // for them here. `format_input` may refer to the caller's frame: it is
  // called before the body starts.
  template <class T, class FormatIn, class FormatOut>
  boost::asio::awaitable<T> _run_main(FormatIn format_input, boost::asio::awaitable<T> body,
                                      FormatOut format_output) const {
    const Logger& logger = _logger();
    if (logger->should_log(LogLevel::debug)) logger->debug(format_input());
    if constexpr (std::is_void_v<T>) {
      co_await std::move(body);
      if (logger->should_log(LogLevel::debug)) logger->debug(format_output());
    } else {
      T result = co_await std::move(body);
      if (logger->should_log(LogLevel::debug)) logger->debug(format_output(result));
      co_return result;
    }
  }

 private:
  mutable std::once_flag logger_once_;
  mutable Logger logger_;
};

// "[Start 'Name'] " / "[Finished 'Name'] ": the prefixes of the hook texts,
// with the class name in its printed representation.
std::string start_prefix(const Component& component);
std::string finished_prefix(const Component& component);

}  // namespace zelq::core
