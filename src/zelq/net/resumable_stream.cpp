#include "zelq/net/resumable_stream.hpp"

#include <algorithm>
#include <utility>

#include "zelq/core/errors.hpp"
#include "zelq/core/retry.hpp"
#include "zelq/core/sleep.hpp"
#include "zelq/net/http_error.hpp"
#include "zelq/net/service_options.hpp"

namespace zelq::net {

namespace asio = boost::asio;

namespace {

std::string why_of(const std::exception_ptr& failure) {
  if (!failure) return "its body ended before the run did";
  return core::describe_exception(failure);
}

}  // namespace

ResumableEventStream::ResumableEventStream(ApiEventStream first, Reopen reopen,
                                           ResumeOptions options, std::string subject,
                                           Decide decide)
    : stream_(std::move(first)),
      reopen_(std::move(reopen)),
      decide_(std::move(decide)),
      options_(options),
      subject_(std::move(subject)) {}

std::optional<SseEvent> ResumableEventStream::try_take() {
  if (!stream_) return std::nullopt;
  std::optional<SseEvent> event = stream_->try_take();
  if (event) ++fresh_;
  return event;
}

void ResumableEventStream::mark_repeat() noexcept {
  if (fresh_ > 0) --fresh_;
}

void ResumableEventStream::close() noexcept {
  if (stream_) stream_->close();
  stream_.reset();
}

asio::awaitable<std::optional<SseEvent>> ResumableEventStream::next() {
  while (stream_) {
    std::exception_ptr failure;
    try {
      if (std::optional<SseEvent> event = co_await stream_->next()) {
        ++fresh_;
        co_return event;
      }
    } catch (const SseEventTooLargeError& error) {
      const SseEventTooLargeError refusal = too_large(error.limit());
      close();
      throw refusal;
    } catch (const core::OverLimit&) {
      // Framing over a limit: a resumption would be refused the same way.
      close();
      throw;
    } catch (const ConnectionError&) {
      failure = std::current_exception();
    } catch (const StreamIdleError&) {
      failure = std::current_exception();
    } catch (...) {
      close();
      throw;
    }
    if (auto delay = stream_->reconnection_time()) server_delay_ = delay;
    stream_.reset();
    try {
      co_await resume(failure);
    } catch (...) {
      close();
      throw;
    }
  }
  co_return std::nullopt;
}

SseEventTooLargeError ResumableEventStream::too_large(std::size_t limit) const {
  const std::string& endpoint = stream_->endpoint();
  // Until the run is known, the subject is often the stream's endpoint.
  const std::string where =
      subject_.find(endpoint) == std::string::npos ? " (" + endpoint + ")" : "";
  return SseEventTooLargeError(subject_ + " sent an event over the size limit of " +
                                   std::to_string(limit) + " bytes" + where + ".",
                               limit);
}

double ResumableEventStream::pause() const {
  const core::RetryConfig pacing{.base_delay = options_.base_delay,
                                 .max_delay = options_.max_delay};
  double seconds = floored_pause(pacing.delay(std::max(empty_in_a_row_ - 1, 0)));
  if (server_delay_) {
    const double asked = static_cast<double>(*server_delay_) / 1000;
    seconds = std::max(seconds, std::min(asked, options_.max_server_delay));
  }
  return seconds;
}

asio::awaitable<void> ResumableEventStream::resume(std::exception_ptr failure) {
  // Decided first: a pause is owed only to a request that follows it.
  if (decide_ && !decide_(failure)) co_return;
  if (fresh_ > 0 || !resumed_) {
    empty_in_a_row_ = 0;
  } else if (++empty_in_a_row_ > options_.max_empty_resumes) {
    throw ConnectionError(sentence(subject_ + " broke " + std::to_string(empty_in_a_row_) +
                                   " times in a row without a new event: " + why_of(failure)));
  }
  co_await core::sleep_for(pause());
  std::optional<ApiEventStream> reopened = co_await reopen_(std::move(failure));
  fresh_ = 0;
  resumed_ = true;
  if (reopened) stream_.emplace(std::move(*reopened));
}

}  // namespace zelq::net
