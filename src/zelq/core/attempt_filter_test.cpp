#include "zelq/core/attempt_filter.hpp"

#include <stdexcept>

#include <gtest/gtest.h>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "zelq/core/json.hpp"

namespace zelq::core {
namespace {

// What the rule needs of the network layer's error.
struct StatusError : std::runtime_error {
  explicit StatusError(int status) : std::runtime_error("HTTP"), code(status) {}
  int status() const { return code; }
  int code;
};

template <class E>
bool worth(E error) {
  return is_worth_another_attempt<StatusError>(std::make_exception_ptr(error));
}

TEST(AttemptFilter, RetriesOnlyWhatANewAttemptMayFix) {
  for (int status : {400, 401, 402, 403, 404, 422, 429, 500, 503}) {
    EXPECT_FALSE(worth(StatusError(status))) << status;
  }
  EXPECT_TRUE(worth(StatusError(408)));
  EXPECT_TRUE(worth(StatusError(409)));
  EXPECT_FALSE(worth(ValueError("invalid base URL")));
  EXPECT_FALSE(worth(TypeError("a keyword given twice")));
  EXPECT_FALSE(worth(AttributeError("'str' object has no attribute 'x'")));
  EXPECT_FALSE(worth(boost::system::system_error(boost::asio::error::operation_aborted)));
  // What a service sent is retried whatever its kind; the kind and text stay.
  EXPECT_TRUE(worth(ServiceDataError<ValueError>("a body nested too deep")));
  EXPECT_TRUE(worth(ServiceDataError<TypeError>("a message that is not text")));
  EXPECT_TRUE(worth(ServiceDataError<ValidationError>("a citation source of the wrong kind")));
  try {
    throw ServiceDataError<ValidationError>("a citation source of the wrong kind");
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "a citation source of the wrong kind");
  }
  // An answer refused for going over a limit is never bought again.
  EXPECT_FALSE(worth(OverLimitError<RuntimeError>("too many citations")));
  EXPECT_FALSE(worth(JsonMemoryError("an answer needs more than 1024 bytes")));
  EXPECT_TRUE(is_over_limit(std::make_exception_ptr(JsonMemoryError("too large"))));
  EXPECT_FALSE(is_over_limit(std::make_exception_ptr(ServiceDataError<RuntimeError>("bad"))));
  EXPECT_TRUE(worth(RuntimeError("the run failed")));
  EXPECT_TRUE(worth(TimeoutError("no event within 300 seconds")));
}

}  // namespace
}  // namespace zelq::core
