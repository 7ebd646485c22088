#include "zelq/providers/orvo/orvo_client.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/providers/orvo/testing/scripted_orvo_service.hpp"

namespace zelq::providers::orvo {
namespace {

TEST(OrvoClientTest, IsUuidKeyAcceptsOnlyTheCanonicalShape) {
  EXPECT_TRUE(is_uuid_key("123e4567-e89b-12d3-a456-426614174000"));
  EXPECT_TRUE(is_uuid_key("123E4567-E89B-12D3-A456-426614174000"));
  EXPECT_FALSE(is_uuid_key("123e4567e89b12d3a456426614174000"));
  EXPECT_FALSE(is_uuid_key("123e4567-e89b-12d3-a456-42661417400g"));
  EXPECT_FALSE(is_uuid_key("123e4567-e89b-12d3-a456-4266141740000"));
  EXPECT_FALSE(is_uuid_key("my-server"));
  EXPECT_FALSE(is_uuid_key(""));
}

TEST(OrvoClientTest, BlockingStreamStepsOffTheCallersThreadOneAtATime) {
  int calls = 0;
  std::thread::id caller = std::this_thread::get_id();
  std::vector<std::thread::id> step_threads;
  BlockingTaskStream stream([&]() -> std::optional<StreamEvent> {
    step_threads.push_back(std::this_thread::get_id());
    if (++calls == 3) throw core::RuntimeError("iterator broke");
    return StreamEvent{.event_type = "response", .value = calls};
  });
  auto read = [&]() -> boost::asio::awaitable<std::vector<int>> {
    std::vector<int> values;
    try {
      while (auto event = co_await stream.next()) values.push_back(event->value.get<int>());
    } catch (const core::RuntimeError& error) {
      values.push_back(-1);
      EXPECT_STREQ(error.what(), "iterator broke");
    }
    co_return values;
  };
  EXPECT_EQ(core::run_sync(read()), (std::vector<int>{1, 2, -1}));
  ASSERT_EQ(step_threads.size(), 3u);
  for (auto id : step_threads) EXPECT_NE(id, caller);
  EXPECT_THROW(BlockingTaskStream(nullptr), core::ValueError);
}

TEST(OrvoClientTest, StepAfterACancelledOneWaitsForIt) {
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  bool second_entered = false;
  bool released = false;
  BlockingTaskStream stream([&]() -> std::optional<StreamEvent> {
    std::unique_lock lock(mutex);
    if (++calls == 2) {
      second_entered = true;
      changed.notify_all();
      return StreamEvent{.event_type = "response", .value = 2};
    }
    changed.wait_for(lock, std::chrono::seconds(5), [&] { return released; });
    return StreamEvent{.event_type = "response", .value = 1};
  });
  // The first step hangs; its caller gives up.
  EXPECT_THROW(core::run_sync(core::with_timeout(stream.next(), std::chrono::milliseconds(50))),
               core::TimeoutError);
  std::optional<StreamEvent> second;
  std::thread reader([&] { second = core::run_sync(stream.next()); });
  {
    std::unique_lock lock(mutex);
    // The second step must not enter the iterator while the first is in it.
    EXPECT_FALSE(changed.wait_for(lock, std::chrono::milliseconds(100),
                                  [&] { return second_entered; }));
    released = true;
    changed.notify_all();
  }
  reader.join();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->value, 2);
}

TEST(OrvoClientTest, RegisteredFactoryIsReplacedAndRemoved) {
  auto service = testing::ScriptedOrvoService::create();
  register_client_factory(service->factory());
  ClientFactory factory = registered_client_factory();
  ASSERT_TRUE(factory);
  EXPECT_NE(factory(core::Value{{"base_url", "u"}}), nullptr);
  EXPECT_EQ(service->client_params(), (std::vector<core::Value>{{{"base_url", "u"}}}));
  register_client_factory(nullptr);
  EXPECT_FALSE(registered_client_factory());

  // Registered from one thread while others take and call it.
  std::vector<std::thread> readers;
  std::atomic<int> built{0};
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&built] {
      for (int i = 0; i < 200; ++i) {
        if (ClientFactory current = registered_client_factory(); current && current({})) ++built;
      }
    });
  }
  for (int i = 0; i < 200; ++i) register_client_factory(i % 2 ? service->factory() : nullptr);
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(service->client_params().size(), 1u + static_cast<std::size_t>(built));
}

}  // namespace
}  // namespace zelq::providers::orvo
