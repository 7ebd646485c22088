#include "zelq/providers/openai/detail/responses_stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/providers/openai/detail/chunk_reader.hpp"

namespace zelq::providers::openai {
namespace {

using core::Value;

const std::string kKey = "sk-reader-KEY-42";

// The failure that the event data `events` bring a reader quoting with a
// client's policy: its key, and a limit of its own (30 bytes).
std::string failure_of(const std::vector<std::string>& events) {
  ResponsesStreamReader reader(nullptr, "POST http://h/responses", net::Quoting(kKey, 30),
                               kMaxAnswerSize);
  try {
    for (const std::string& data : events) {
      net::SseEvent event;
      event.data = data;
      core::run_sync(reader.take(event));
    }
  } catch (const core::RuntimeError& error) {
    return error.what();
  }
  return "no failure";
}

// Every text of the service in the reader's messages is shown through the
// policy it is handed, whatever the message: the key masked and the
// policy's own limit kept.
TEST(ResponsesStreamReaderTest, ShowsTheServicesTextsThroughTheClientsPolicy) {
  const std::string said = "bad key " + kKey + " " + std::string(60, 'z');
  const std::string line = "bad key *** " + std::string(18, 'z') + "...";
  Value created = {{"type", "response.created"},
                   {"response", {{"id", kKey + "-resp-" + std::string(40, 'r')}}}};
  Value failed = {{"type", "response.failed"}, {"response", {{"error", {{"message", said}}}}}};
  Value error = {{"type", "error"}, {"message", said}, {"code", kKey}};
  const struct {
    std::string name;
    std::vector<std::string> events;
    std::string expected;
  } rows[] = {
      {"an error event",
       {error.dump()},
       "The OpenAI response of POST http://h/responses reports an error (***): " + line},
      {"a failed response named by its id",
       {created.dump(), failed.dump()},
       "The OpenAI response ***-resp-" + std::string(21, 'r') +
           "... of POST http://h/responses failed: " + line},
      {"an event that is not JSON",
       {said},
       "An event of POST http://h/responses is not JSON: 'bad key *** " + std::string(18, 'z') +
           "'..."},
  };
  for (const auto& row : rows) EXPECT_EQ(failure_of(row.events), row.expected) << row.name;
}

}  // namespace
}  // namespace zelq::providers::openai
