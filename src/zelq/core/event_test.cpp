#include "zelq/core/event.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "zelq/core/component.hpp"
#include "zelq/core/concurrency.hpp"
#include "zelq/core/logging.hpp"

namespace zelq::core {
namespace {

namespace asio = boost::asio;

TEST(EventEmitter, DeliversToHandlersInOrderAndStopsAtAFailure) {
  std::vector<std::string> seen;
  EventEmitter emitter;
  emitter.add_handler([&](const Event& e) -> asio::awaitable<void> {
    seen.push_back("first:" + e.type);
    co_return;
  });
  emitter.add_handler([&](const Event& e) -> asio::awaitable<void> {
    seen.push_back("second:" + e.value.get<std::string>());
    if (e.value == "boom") throw std::runtime_error("handler failed");
    co_return;
  });
  emitter.add_handler([&](const Event&) -> asio::awaitable<void> {
    seen.push_back("third");
    co_return;
  });

  run_sync(emitter.emit(Value("hi"), EventLevel::INFO, EventType::RESPONSE));
  EXPECT_EQ(seen, (std::vector<std::string>{"first:response", "second:hi", "third"}));

  seen.clear();
  EXPECT_THROW(run_sync(emitter.emit(Value("boom"), EventLevel::INFO, EventType::RESPONSE)),
               std::runtime_error);
  EXPECT_EQ(seen, (std::vector<std::string>{"first:response", "second:boom"}));
}

// A handler that registers more handlers and then awaits: the emitter's
// storage grows under the running handler, whose captures must stay put, and
// the emission in progress must not reach the new handlers.
TEST(EventEmitter, HandlersAddedDuringAnEmissionGetTheNextEvent) {
  std::vector<std::string> seen;
  EventEmitter emitter;
  emitter.add_handler([&seen, &emitter](const Event& e) -> asio::awaitable<void> {
    const auto text = e.value.get<std::string>();
    if (text == "first") {
      for (int i = 0; i < 40; ++i) {
        emitter.add_handler([&seen, i](const Event& later) -> asio::awaitable<void> {
          if (i < 2)
            seen.push_back("added" + std::to_string(i) + ":" + later.value.get<std::string>());
          co_return;
        });
      }
    }
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    seen.push_back("adder:" + text);
  });
  run_sync(emitter.emit(Value("first"), EventLevel::INFO, EventType::RESPONSE));
  EXPECT_EQ(seen, (std::vector<std::string>{"adder:first"}));
  seen.clear();
  run_sync(emitter.emit(Value("second"), EventLevel::INFO, EventType::RESPONSE));
  EXPECT_EQ(seen, (std::vector<std::string>{"adder:second", "added0:second", "added1:second"}));
}

// An event handed over whole reaches the handlers of the moment in order, up
// to a failure, from one handler as from several; a derived emitter's emit()
// sees it.
TEST(EventEmitter, AnEventReachesTheHandlersOfTheMomentInOrder) {
  std::vector<std::string> seen;
  EventEmitter emitter;
  auto send = [](EventEmitter& to, const char* text) {
    Event event{.id = "e", .type = "response", .value = text};
    run_sync(to.emit(std::move(event)));
  };
  send(emitter, "none");
  emitter.add_handler([&](const Event& e) -> asio::awaitable<void> {
    const auto text = e.value.get<std::string>();
    seen.push_back("first:" + text);
    if (text == "more") {
      emitter.add_handler([&](const Event& later) -> asio::awaitable<void> {
        seen.push_back("added:" + later.value.get<std::string>());
        co_return;
      });
    }
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    if (text == "boom") throw std::runtime_error("handler failed");
  });
  send(emitter, "more");
  send(emitter, "hi");
  EXPECT_THROW(send(emitter, "boom"), std::runtime_error);
  EXPECT_EQ(seen, (std::vector<std::string>{"first:more", "first:hi", "added:hi", "first:boom"}));

  struct Counting : EventEmitter {
    int emitted = 0;
    asio::awaitable<void> emit(Event given) override {
      ++emitted;
      asio::awaitable<void> delivery = EventEmitter::emit(std::move(given));
      co_await std::move(delivery);
    }
  } counting;
  send(counting, "hi");
  EXPECT_EQ(counting.emitted, 1);
}

TEST(EventEmitter, ValueFormGetsAFreshIdAndTheLevel) {
  std::vector<Event> events;
  EventEmitter emitter;
  emitter.add_handler([&](const Event& e) -> asio::awaitable<void> {
    events.push_back(e);
    co_return;
  });
  run_sync(emitter.emit(Value("a"), EventLevel::INFO, EventType::REFERENCE));
  run_sync(emitter.emit(Value("b"), EventLevel::WARNING, EventType::RESPONSE));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_NE(events[0].id, events[1].id);
  EXPECT_EQ(
      events[0].to_value(),
      (Value{{"id", events[0].id}, {"type", "reference"}, {"value", "a"}, {"level", "INFO"}}));
  EXPECT_EQ(events[1].level, EventLevel::WARNING);
}

class Probe : public Component {
 public:
  std::string class_name() const override { return "Probe"; }
  asio::awaitable<int> run(int x) const {
    if (x < 0) throw std::invalid_argument("negative");
    co_return co_await _run_main(
        [&] { return start_prefix(*this) + "in " + std::to_string(x); }, body(x),
        [this](int r) { return finished_prefix(*this) + "out " + std::to_string(r); });
  }
  void note(const std::string& text) const { _logger()->warn(text); }

 private:
  asio::awaitable<int> body(int x) const {
    if (x == 13) throw std::runtime_error("unlucky");
    co_return x * 2;
  }
};

TEST(Component, MainEntryLogsHookTextsAroundTheBodyOnItsOwnLogger) {
  LogCapture capture;
  Probe probe;
  EXPECT_EQ(run_sync(probe.run(4)), 8);
  EXPECT_EQ(capture.messages("Probe", core::LogLevel::debug),
            (std::vector<std::string>{"[Start 'Probe'] in 4", "[Finished 'Probe'] out 8"}));

  capture.clear();
  EXPECT_THROW(run_sync(probe.run(13)), std::runtime_error);
  EXPECT_EQ(capture.messages("Probe", core::LogLevel::debug),
            (std::vector<std::string>{"[Start 'Probe'] in 13"}));

  capture.clear();
  EXPECT_THROW(run_sync(probe.run(-1)), std::invalid_argument);
  EXPECT_TRUE(capture.lines().empty());

  probe.note("careful");
  EXPECT_EQ(capture.messages("Probe", core::LogLevel::warn), (std::vector<std::string>{"careful"}));
}

TEST(Logging, DebugHooksAreNotFormattedBelowTheLevel) {
  // Without a capture the default level is warn: the hook lambdas must not run.
  ASSERT_EQ(LoggerManager().level(), core::LogLevel::warn);
  int formatted = 0;
  struct Counting : Component {
    std::string class_name() const override { return "Counting"; }
    asio::awaitable<int> run(int* count) const {
      co_return co_await _run_main([count] { return std::to_string(++*count); }, one(),
                                   [count](int) { return std::to_string(++*count); });
    }
    static asio::awaitable<int> one() { co_return 1; }
  } counting;
  EXPECT_EQ(run_sync(counting.run(&formatted)), 1);
  EXPECT_EQ(formatted, 0);
}

}  // namespace
}  // namespace zelq::core
