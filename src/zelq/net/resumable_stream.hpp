// An event stream that outlives its connections: when the server breaks
// it off, ends it early or stays silent, it is opened again after its last
// event, so a long run at a service is read to its end as one stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "zelq/net/api_client.hpp"
#include "zelq/net/sse_parser.hpp"

namespace zelq::net {

struct ResumeOptions {
  // Resumptions in a row that bring no new event before the stream gives
  // up.
  int max_empty_resumes = 3;
  // The pause before every resumption, in seconds, as a browser's
  // EventSource keeps one: at least the reconnection time the server set
  // with an SSE "retry" field (on any connection of the stream so far),
  // kept to at most max_server_delay; and at least base_delay, the floor,
  // which grows for a resumption that follows empty ones: the k-th empty
  // resumption in a row waits at least min(max_delay, base_delay * 2^(k-1)).
  // A server that ends every connection at once is so asked at most one
  // resumption per base_delay, and never more than one per kMinPause
  // (service_options.hpp), whatever base_delay says.
  double base_delay = 0.5;
  double max_delay = 8.0;
  double max_server_delay = 60.0;
};

// Move-only; not thread-safe (one next() at a time). Holds the current
// connection and its request slot until it ends, close() or destruction.
class ResumableEventStream {
 public:
  // Opens the stream again after its last event (the caller knows which:
  // an SSE id, a sequence number) and returns it, or nullopt when there is
  // nothing more to read (the run has ended at the service). `failure` is
  // why the previous stream stopped: ConnectionError, StreamIdleError, or
  // null when its body ended. It throws when the stream cannot be resumed
  // (it never named its run, say), and may throw what ApiClient throws.
  using Reopen =
      std::function<boost::asio::awaitable<std::optional<ApiEventStream>>(std::exception_ptr)>;

  // Whether the stream that stopped (`failure` as Reopen's) is to be
  // opened again at all, decided from what is known, without a request,
  // before the pause: false ends the stream at once; it throws when the
  // stream cannot be resumed. What only a request can tell (that the run
  // has ended at the service) is Reopen's to say, after the pause.
  using Decide = std::function<bool(const std::exception_ptr& failure)>;

  // `first` is the stream as the run was created. `subject` names the
  // stream in the error of giving up ("The stream of the OpenAI response
  // resp_1"); set_subject() may change it once the run is known. Without
  // `decide`, every stop pauses and then asks `reopen`.
  ResumableEventStream(ApiEventStream first, Reopen reopen, ResumeOptions options,
                       std::string subject, Decide decide = {});

  // The next event, or nullopt once `decide` or `reopen` said the run has
  // ended. A stream that breaks (ConnectionError), stays silent longer than
  // its event timeout (StreamIdleError) or ends is resumed through `reopen`
  // after the pause of ResumeOptions (each pause counts against the
  // caller's limits, and cancellation ends it at once), unless `decide`
  // ends it or throws first;
  // after more than max_empty_resumes resumptions in a row without a new
  // event it throws ConnectionError "<subject> broke <n> times in a row
  // without a new event: <why the last one stopped>." An event over the
  // size limit is refused, never resumed past: SseEventTooLargeError
  // "<subject> sent an event over the size limit of <n> bytes (<endpoint>)."
  // (without the endpoint when the subject names it). Framing over a limit
  // (a ConnectionError carrying core::OverLimit) is not resumed either. Other
  // errors (a request's own deadline) and cancellation propagate. Each
  // failure closes the connection. The stream must outlive the awaitable.
  boost::asio::awaitable<std::optional<SseEvent>> next();

  // The next event when it has arrived whole, taken without awaiting;
  // nullopt when next() has to wait for it (or resume, or end).
  std::optional<SseEvent> try_take();

  // Counts the event last returned as a repeat of one taken before (a
  // server that replays), which does not make a resumption worthwhile.
  void mark_repeat() noexcept;

  void set_subject(std::string subject) { subject_ = std::move(subject); }

  // Ends the stream now: closes its connection and gives back its slot;
  // next() then returns nullopt. A failure of next() ends it the same way.
  void close() noexcept;

 private:
  boost::asio::awaitable<void> resume(std::exception_ptr failure);
  // The refusal of an event over `limit` bytes on the current connection.
  SseEventTooLargeError too_large(std::size_t limit) const;
  // The pause before the resumption about to run, in seconds.
  double pause() const;

  // Empty once the stream has ended, failed or been closed.
  std::optional<ApiEventStream> stream_;
  Reopen reopen_;
  Decide decide_;
  ResumeOptions options_;
  std::string subject_;
  // New events from the current connection.
  long long fresh_ = 0;
  bool resumed_ = false;  // the current connection is a resumption
  int empty_in_a_row_ = 0;
  // The last reconnection time a connection of the stream set, in ms.
  std::optional<std::uint64_t> server_delay_;
};

}  // namespace zelq::net
