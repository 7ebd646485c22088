#include "zelq/providers/parallel/http_task_run_client.hpp"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "zelq/core/errors.hpp"
#include "zelq/net/testing/error_text.hpp"

namespace zelq::providers::parallel {
namespace {

using core::Value;

// The readers of the wire and a failed run show the service's texts
// through the policy they are handed (a client's, or a researcher's): its
// key masked, its own limit kept.
TEST(TaskRunWire, ShowsTheServicesTextsThroughThePolicyItIsHanded) {
  const net::Quoting quoting("par-KEY-77", 20);
  const std::string said = "bad key par-KEY-77 " + std::string(40, 'z');
  const Value answer = {{"d", said}};
  constexpr std::size_t kBudget = std::size_t{1} << 20;
  const struct {
    std::string name;
    std::function<void()> action;
    std::string expected;
  } rows[] = {
      {"an error event",
       [&] {
         wire::parse_event("error", Value{{"type", "error"}, {"error", {{"message", said}}}}.dump(),
                           "'r1'", quoting, kBudget);
       },
       "Parallel sent an error event for run 'r1': bad key *** zzzzzzzz..."},
      {"an event that is not JSON",
       [&] { wire::parse_event("progress", said, "'r1'", quoting, kBudget); },
       "The event 'progress' of Parallel task run 'r1' is not JSON: 'bad key *** zzzzzzzz'..."},
      {"an event over the client's memory budget",
       [&] { wire::parse_event("progress", answer.dump(), "'r1'", quoting, 16); },
       "The event 'progress' of Parallel task run 'r1' needs more than 16 bytes of memory once "
       "parsed"},
      {"a run without an id", [&] { wire::parse_run(answer, "The answer", quoting); },
       "The answer holds no run id: '{\"d\":\"bad key *** zz'..."},
      {"a result without an output", [&] { wire::parse_result(answer, "The answer", quoting); },
       "The answer holds no output: '{\"d\":\"bad key *** zz'..."},
      {"a failed run", [&] { throw TaskRunFailedError("par-KEY-77-run", "failed", "m", quoting); },
       "Parallel task run '***-run' ended with status 'failed': m"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(net::testing::error_of<core::RuntimeError>(row.action), row.expected) << row.name;
  }
}

}  // namespace
}  // namespace zelq::providers::parallel
