// Hostile text a server sends, followed from the error it becomes to the
// retry warning and the retry activity that announce the next attempt: each
// is valid UTF-8 with no control byte, and each event dumps.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zelq/core/concurrency.hpp"
#include "zelq/core/logging.hpp"
#include "zelq/core/pytext.hpp"
#include "zelq/generation/deep_researcher/deep_researcher.hpp"
#include "zelq/inference/testing/recording_event_emitter.hpp"
#include "zelq/net/http_error.hpp"

namespace zelq::generation::deep_researcher {
namespace {

namespace asio = boost::asio;

// Valid UTF-8 without a byte below 0x20 or DEL.
bool is_clean(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const core::detail::Utf8Char ch = core::detail::decode_utf8(text, at);
    if (!ch.valid || ch.code_point < 0x20 || ch.code_point == 0x7F) return false;
    at += ch.size;
  }
  return true;
}

TEST(ServerText, HostileBodiesReachErrorsWarningsAndEventsEscaped) {
  const std::vector<std::string> bodies = {
      "raw \xff\xfe \xc0\xaf \xed\xa0\x80 bytes",
      std::string("nul \0 inside", 12),
      "\x1b]0;pwned\x07\x1b[2J\x1b[H\x08\x08 sequences",
      R"({"error":{"message":"\u001b]0;pwned\u0007\u001b[2J...\u0000"}})",
      R"({"error":"c1 \u0085\u009b and bidi \u202e\u2066 zw\u200b"})",
  };
  net::HttpResponseHead head;
  head.status = 409;
  for (const std::string& body : bodies) {
    SCOPED_TRACE(core::py_repr(body));
    const net::HttpError error =
        net::HttpError::from_response(head, body, std::size_t{1} << 20, "POST http://h/r");
    EXPECT_TRUE(is_clean(error.message())) << error.message();
    EXPECT_EQ(std::string(error.what()), "HTTP 409 from POST http://h/r: " + error.message());

    core::LogCapture log;
    auto emitter = std::make_shared<inference::testing::RecordingEventEmitter>();
    int calls = 0;
    auto attempt = [&calls, &error]() -> asio::awaitable<int> {
      if (++calls < 2) throw error;
      co_return calls;
    };
    core::RetryConfig policy =
        research_retry_policy(core::RetryConfig{.max_retries = 1, .base_delay = 0}, emitter);
    EXPECT_EQ(core::run_sync(core::retry(attempt, policy)), 2);
    const std::vector<std::string> warnings = log.messages("retry", core::LogLevel::warn);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(is_clean(warnings[0])) << warnings[0];
    ASSERT_EQ(emitter->events().size(), 1u);
    const core::Value value = emitter->events()[0].to_value();
    std::string dumped;
    EXPECT_NO_THROW(dumped = value.dump());
    EXPECT_TRUE(is_clean(dumped)) << dumped;
    EXPECT_EQ(value.at("value").at("reason"), error.what());
  }
}

}  // namespace
}  // namespace zelq::generation::deep_researcher
