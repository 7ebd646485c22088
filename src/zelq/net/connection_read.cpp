#include "zelq/net/detail/beast_connection.hpp"

#include <sys/socket.h>

#include <algorithm>

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <string_view>

#include "zelq/core/errors.hpp"
#include "zelq/net/connection_error.hpp"

namespace zelq::net::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Reads more raw bytes into buffer_, re-arming the idle deadline. Returns false
// at the end of the stream. The wait happens in small_; the large buffer is
// only taken while bytes keep coming, and it is sized to the bytes already
// waiting and filled without suspending, so no stream holds one while others
// run. One coroutine, reading the socket itself: a quiet stream waits in as
// few frames as it can.
asio::awaitable<bool> BeastConnection::fill() {
  check_chunk_framing();
  const auto at = deadline(Limit::idle);
  // A read that finds bytes waiting completes before the stream's timer can
  // fire, so a server that never lets the socket empty would outrun the
  // request's and the read's deadlines: the clock is read here as well.
  if (armed_ != Limit::idle && at <= Clock::now()) fail_timeout();
  if (bursting_ && take_burst()) co_return true;
  fit_buffer_to_rest();
  tcp().expires_at(at);
  auto [ec, n] = co_await std::visit(
      [this](auto& s) { return s.async_read_some(asio::buffer(small_), kTuple); },
      transport_->stream);
  // Servers often end TLS without close_notify; HTTP framing tells whether
  // the body is complete.
  if (ec == asio::error::eof || ec == ssl::error::stream_truncated) co_return false;
  if (ec) fail(ec, "reading the response from");
  if (n == 0) co_return false;
  keep_waited(n);
  co_return true;
}

// While bytes keep coming, what came since the last read is taken into its
// buffer at once, in large reads: a stream that falls behind its server
// takes what has piled up in few reads, each of which the kernel answers
// with a window update and a wake-up of the sender. False when nothing was
// waiting: the burst is over.
bool BeastConnection::take_burst() {
  const std::size_t got = read_now(kReadSize);
  bursting_ = got == kReadSize;
  return got > 0;
}

// What the parser left (often the CRLF that ends a chunk; at most a head,
// chunk-size line or trailer, within their limits) waits in a buffer of its
// own size, not in the large one of the last read. A rest that grows as
// bytes trickle in keeps a buffer of up to twice its size, so that it is not
// copied again at every read.
void BeastConnection::fit_buffer_to_rest() {
  const std::size_t rest = buffer_.size();
  if (buffer_.capacity() - rest > std::max(rest, small_.size())) buffer_.shrink_to_fit();
}

// Moves the `n` bytes the wait took into small_ on to buffer_. A wait that
// filled small_ has more behind it: that goes first into a buffer of the
// size a thread keeps (kSpareBlockMax), and one that fills starts a burst.
void BeastConnection::keep_waited(std::size_t n) {
  buffer_.commit(asio::buffer_copy(buffer_.prepare(n), asio::buffer(small_.data(), n)));
  if (n < small_.size()) return;
  const std::size_t room = kSpareBlockMax - std::min(buffer_.size(), kSpareBlockMax / 2);
  bursting_ = read_now(room) == room;
}

// Appends at most `most` bytes that have arrived and can be taken now,
// without waiting, and returns how many: over TCP one read that does not
// wait; over TLS the rest of the record just read, which OpenSSL holds
// decrypted (the next record may be long in coming). Into space that
// fill() gives back before the connection next waits. A failure here is
// left for the next read to report.
std::size_t BeastConnection::read_now(std::size_t most) {
  if (TlsStream* tls = transport_->tls()) {
    SSL* handle = tls->native_handle();
    const int pending = SSL_pending(handle);
    if (pending <= 0) return 0;
    const asio::mutable_buffer space =
        buffer_.prepare(std::min(static_cast<std::size_t>(pending), most));
    const int got = SSL_read(handle, space.data(), static_cast<int>(space.size()));
    if (got <= 0) return 0;
    buffer_.commit(static_cast<std::size_t>(got));
    return static_cast<std::size_t>(got);
  }
  const asio::mutable_buffer space = buffer_.prepare(most);
  const auto got = ::recv(tcp().socket().native_handle(), space.data(), space.size(), MSG_DONTWAIT);
  if (got <= 0) return 0;
  buffer_.commit(static_cast<std::size_t>(got));
  return static_cast<std::size_t>(got);
}

// A chunked body whose parser waits for the end of a chunk-size line or of
// the trailer holds those bytes in buffer_: Beast counts neither against the
// header limit, so a server that never ends one is stopped here.
void BeastConnection::check_chunk_framing() {
  if (buffer_.size() <= kChunkLineLimit || !parser_->is_header_done() || !parser_->chunked()) {
    return;
  }
  const std::string_view unparsed(static_cast<const char*>(buffer_.data().data()), buffer_.size());
  // The CRLF that ends a chunk's data comes before the next size line.
  const std::size_t start = unparsed.starts_with("\r\n") ? 2 : 0;
  const std::size_t end = unparsed.substr(0, start + kChunkLineLimit + 2).find("\r\n", start);
  if (end == std::string_view::npos) {
    fail_framing("a chunk-size line longer than " + std::to_string(kChunkLineLimit));
  }
  if (unparsed.size() - (end + 2) > kHeaderLimit) {
    // Only the last chunk's line leaves the parser waiting: for its trailer.
    fail_framing("a trailer longer than " + std::to_string(kHeaderLimit));
  }
}

// The same limits for a chunk-size line, and the last one's trailer, that
// came whole: the parser takes them at any length. Called as the parser
// takes the line, whose extensions lie in buffer_ with the size's hex
// digits right before them, and the whole trailer after them.
void BeastConnection::check_chunk_header(std::uint64_t size, beast::string_view extensions,
                                         error_code& ec) {
  const char* const begin = static_cast<const char*>(buffer_.data().data());
  const char* const end = begin + buffer_.size();
  const char* digits = extensions.data();
  if (digits < begin || digits + extensions.size() > end) return;
  auto hex = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  };
  std::size_t line = extensions.size();
  while (digits > begin && line <= kChunkLineLimit && hex(digits[-1])) {
    --digits;
    ++line;
  }
  if (line > kChunkLineLimit) {
    oversized_ = "a chunk-size line longer than " + std::to_string(kChunkLineLimit);
  } else if (size == 0) {
    // From the CRLF that ends the line to the blank line that ends the
    // trailer: its fields, each with its CRLF, and the blank line.
    const std::string_view rest(extensions.data() + extensions.size(),
                                static_cast<std::size_t>(end - extensions.end()));
    const std::size_t blank = rest.find("\r\n\r\n");
    if (blank != std::string_view::npos && blank + 2 > kHeaderLimit) {
      oversized_ = "a trailer longer than " + std::to_string(kHeaderLimit);
    }
  }
  if (!oversized_.empty()) ec = http::error::bad_chunk;
}

// A refusal, not a broken connection: the server sent this framing, and a
// new request would be answered and refused the same way.
void BeastConnection::fail_framing(const std::string& what) {
  close();
  throw core::OverLimitError<ConnectionError>("connection to " + url_.endpoint() + " sent " + what +
                                              " bytes");
}

// Parses buffered bytes, reading more as needed, until parser_ has a head.
asio::awaitable<void> BeastConnection::read_header() {
  while (!parser_->is_header_done()) {
    if (buffer_.size() > 0) {
      error_code ec;
      auto used = parser_->put(buffer_.data(), ec);
      buffer_.consume(used);
      if (ec && ec != http::error::need_more) fail(ec, "reading the response from");
      if (used > 0) continue;
    }
    if (!co_await fill()) fail(http::error::partial_message, "reading the response from");
  }
}

asio::awaitable<HttpResponseHead> BeastConnection::read_head(
    std::optional<std::uint64_t> body_limit, bool head) {
  while (true) {
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(body_limit ? boost::optional<std::uint64_t>(*body_limit) : boost::none);
    parser_->skip(head);
    co_await read_header();
    const unsigned status = parser_->get().result_int();
    if (status < 100 || status >= 200) break;
    // An interim answer (100 Continue, 103 Early Hints) comes before the
    // real one, which follows on the same connection. An upgrade was never
    // asked for: what follows it is no HTTP.
    if (status == 101) {
      close();
      throw ConnectionError("connection to " + url_.endpoint() +
                            " switched protocols (HTTP 101) without being asked to");
    }
    if (++interim_ > kMaxInterim) {
      close();
      throw ConnectionError("connection to " + url_.endpoint() + " sent more than " +
                            std::to_string(kMaxInterim) + " interim (1xx) responses");
    }
    parser_.emplace();
  }
  parser_->eager(true);
  parser_->on_chunk_header(chunk_header_check_);
  const auto& message = parser_->get();
  HttpResponseHead result;
  result.status = static_cast<int>(message.result_int());
  result.reason = std::string(message.reason());
  for (const auto& field : message) {
    result.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  if (parser_->is_done()) finish();
  co_return result;
}

// Parses buffered bytes into `out`; returns the body bytes written.
std::size_t BeastConnection::parse_body(char* out, std::size_t capacity) {
  auto& body = parser_->get().body();
  std::size_t got = 0;
  while (buffer_.size() > 0 && got < capacity && !parser_->is_done()) {
    body.data = out + got;
    body.size = capacity - got;
    error_code ec;
    auto used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    got = capacity - body.size;
    body.data = nullptr;
    if (ec == http::error::need_buffer || ec == http::error::need_more) ec = {};
    if (!oversized_.empty()) fail_framing(oversized_);
    if (ec) fail(ec, "reading the response from");
    if (used == 0) break;
  }
  return got;
}

asio::awaitable<std::size_t> BeastConnection::read_body(char* out, std::size_t capacity) {
  if (finished_) co_return 0;
  if (closed_) {
    throw ConnectionError("connection to " + url_.endpoint() +
                          " is closed after an earlier failure or close()");
  }
  while (!parser_->is_done()) {
    if (auto got = parse_body(out, capacity); got > 0) co_return got;
    if (parser_->is_done()) break;
    if (!co_await fill()) {
      error_code ec;
      parser_->put_eof(ec);
      if (ec) fail(ec, "reading the response from");
    }
  }
  finish();
  co_return 0;
}

asio::awaitable<std::string> BeastConnection::read_body_some(
    std::optional<Clock::time_point> deadline) {
  read_deadline_ = deadline;
  std::string out;
  while (!finished_) {
    if (closed_) {
      throw ConnectionError("connection to " + url_.endpoint() +
                            " is closed after an earlier failure or close()");
    }
    if (parser_->is_done()) {
      finish();
      break;
    }
    if (buffer_.size() > 0) {
      if (take_buffered_body(out)) break;
      if (parser_->is_done()) continue;
    }
    if (!co_await fill()) {
      error_code ec;
      parser_->put_eof(ec);
      if (ec) fail(ec, "reading the response from");
    }
  }
  read_deadline_.reset();
  // A burst's buffer serves its next read; fill() lets it go before the
  // connection waits.
  if (buffer_.size() == 0 && !bursting_) buffer_.shrink_to_fit();
  co_return out;
}

// Parses the body bytes of buffer_ into `out`; true when there were some,
// false with `out` empty when the buffered bytes held framing alone. The
// body bytes of the buffer are at most as many as the buffer holds; a burst
// is handed out in parts of the size a thread keeps. They are parsed into
// the text kept from an earlier read when there is one: its stale bytes are
// written over or cut off, and growing it within its size writes nothing. A
// text that must grow takes that size at once: a string would double its
// capacity past it.
bool BeastConnection::take_buffered_body(std::string& out) {
  const std::size_t room = std::min(buffer_.size(), kSpareBlockMax);
  out = take_text();
  if (out.capacity() < room) {
    out = std::string();
    out.reserve(kSpareBlockMax);
  }
  if (out.size() < room) out.resize(room);
  const std::size_t got = parse_body(out.data(), room);
  if (got == 0) {
    // The text goes back before the connection waits, so that a waiting
    // stream holds none.
    give_back_text(std::move(out));
    out = std::string();
    return false;
  }
  out.resize(got);
  delivered_ += got;
  if (delivered_ > state_->options.max_body_size) {
    fail(http::error::body_limit, "reading the response from");
  }
  return true;
}

// The body has ended: the connection goes back to the pool when the server
// keeps it open and sent nothing beyond the response, else it is closed.
void BeastConnection::finish() noexcept {
  if (finished_) return;
  finished_ = true;
  const bool reusable = state_->options.keep_alive && parser_->get().keep_alive() &&
                        buffer_.size() == 0 && !closed_ && !cut_short_;
  if (reusable) {
    // Made here, after the first socket, so that the pool service is shut
    // down (closing its sockets) before the reactor it registered them with.
    asio::use_service<ConnectionPool>(context_).put(key_, std::move(transport_),
                                                    state_->options.max_idle_per_host);
    closed_ = true;
  } else {
    close();
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
}

// No TLS close_notify: HTTP framing has already ended the exchange (or it
// failed), and waiting for the peer's reply could stall.
void BeastConnection::close() noexcept {
  if (closed_) return;
  closed_ = true;
  if (transport_) transport_->close();
}

}  // namespace zelq::net::detail
