// Internal to zelq_net (included by its .cpp files only; it pulls in Beast
// and OpenSSL): the connection of one request, implemented in
// http_connection.cpp (connecting, sending) and connection_read.cpp
// (reading the response).
#pragma once

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zelq/net/detail/connection_pool.hpp"
#include "zelq/net/detail/http_connection.hpp"
#include "zelq/net/detail/spare_memory.hpp"
#include "zelq/net/url.hpp"

namespace zelq::net::detail {

struct ClientState {
  explicit ClientState(HttpClientOptions o) : options(std::move(o)) {}

  HttpClientOptions options;
  // Shared with the process-wide default when the options allow it.
  std::shared_ptr<boost::asio::ssl::context> tls;
};

// The most raw bytes taken in one read while bytes keep coming (see
// BeastConnection::fill): a stream holds a buffer of that size only then.
inline constexpr std::size_t kReadSize = 256 * 1024;
inline constexpr std::uint32_t kHeaderLimit = 64 * 1024;
// Longest chunk-size line of a chunked body, its extensions included; its
// trailer is held to kHeaderLimit.
inline constexpr std::size_t kChunkLineLimit = 4 * 1024;
// Most interim (1xx) answers skipped before the final one.
inline constexpr int kMaxInterim = 16;
inline constexpr auto kTuple = boost::asio::as_tuple(boost::asio::use_awaitable);

// A request as it is sent: its request line and header fields, then its body.
struct Outgoing {
  std::string head;
  std::string body;
};

// Which deadline is armed: its error message differs.
enum class Limit { connect, idle, request, read };

class BeastConnection final : public Connection {
 public:
  BeastConnection(std::shared_ptr<const ClientState> state, Url url, PoolKey key,
                  boost::asio::execution_context& context, std::unique_ptr<Transport> transport,
                  std::optional<Clock::time_point> request_deadline,
                  std::chrono::milliseconds request_limit)
      : state_(std::move(state)),
        url_(std::move(url)),
        key_(std::move(key)),
        context_(context),
        transport_(std::move(transport)),
        request_deadline_(request_deadline),
        request_limit_(request_limit) {
    boost::system::error_code ec;
    host_is_ip_ = (boost::asio::ip::make_address(url_.host, ec), !ec);
  }

  boost::asio::awaitable<void> connect();
  // Adds the bytes of `message` the socket took to `written`, also when it
  // fails. Returns the failure of a write the server cut short by resetting
  // the connection (it may have answered first: see read_answer), else
  // nothing; other failures throw.
  boost::asio::awaitable<boost::system::error_code> send(const Outgoing& message,
                                                         std::size_t& written);
  // The head of the answer to the request send() sent. After a send `cut`
  // short, the answer the server sent before it stopped reading the request
  // (a 413 for a body too large), and the connection is not kept after it;
  // when none arrived whole, `cut` as send's ConnectionError.
  boost::asio::awaitable<HttpResponseHead> read_answer(boost::system::error_code cut,
                                                       std::optional<std::uint64_t> body_limit,
                                                       bool head);
  boost::asio::awaitable<std::size_t> read_body(char* out, std::size_t capacity) override;
  boost::asio::awaitable<std::string> read_body_some(
      std::optional<Clock::time_point> deadline) override;
  std::optional<std::uint64_t> content_length() const override {
    auto length = parser_->content_length();
    return length ? std::optional<std::uint64_t>(*length) : std::nullopt;
  }
  void close() noexcept override;

  // True once any byte of the response has arrived.
  bool got_some() const noexcept {
    return interim_ > 0 || parser_->got_some() || buffer_.size() > 0;
  }

 private:
  boost::beast::tcp_stream& tcp() { return transport_->tcp(); }

  boost::asio::awaitable<std::vector<boost::asio::ip::tcp::endpoint>> resolve();
  boost::asio::awaitable<void> handshake(TlsStream& tls);
  boost::asio::awaitable<HttpResponseHead> read_head(std::optional<std::uint64_t> body_limit,
                                                     bool head);
  boost::asio::awaitable<void> read_header();
  boost::asio::awaitable<bool> fill();
  bool take_burst();
  void fit_buffer_to_rest();
  void keep_waited(std::size_t n);
  std::size_t read_now(std::size_t most);
  void check_chunk_framing();
  void check_chunk_header(std::uint64_t size, boost::beast::string_view extensions,
                          boost::system::error_code& ec);
  [[noreturn]] void fail_framing(const std::string& what);
  std::size_t parse_body(char* out, std::size_t capacity);
  bool take_buffered_body(std::string& out);
  void finish() noexcept;
  Clock::time_point deadline(Limit limit);
  [[noreturn]] void fail(boost::system::error_code ec, std::string_view doing);
  [[noreturn]] void fail_timeout();

  std::shared_ptr<const ClientState> state_;
  Url url_;
  PoolKey key_;
  boost::asio::execution_context& context_;
  std::unique_ptr<Transport> transport_;
  // Raw bytes read and not yet parsed. Its large memory, taken for a burst
  // of bytes and given back before the next wait, is kept on the thread
  // for the next read.
  boost::beast::basic_flat_buffer<SpareBlockAllocator<char>> buffer_;
  // A new parser for each response head: interim (1xx) answers come first.
  std::optional<boost::beast::http::response_parser<boost::beast::http::buffer_body>> parser_{
      std::in_place};
  // Called by the parser at each chunk-size line it takes (see
  // check_chunk_header); the parser holds a reference to it.
  struct ChunkHeaderCheck {
    BeastConnection* connection;
    void operator()(std::uint64_t size, boost::beast::string_view extensions,
                    boost::system::error_code& ec) const {
      connection->check_chunk_header(size, extensions, ec);
    }
  };
  ChunkHeaderCheck chunk_header_check_{this};
  // What check_chunk_header found over its limit ("" when nothing was).
  std::string oversized_;
  // Body bytes read_body_some has handed out, against max_body_size.
  std::uint64_t delivered_ = 0;
  std::optional<Clock::time_point> request_deadline_;
  std::chrono::milliseconds request_limit_;
  std::optional<Clock::time_point> read_deadline_;
  Clock::time_point connect_deadline_;
  // Waiting for the server's next bytes happens in this small buffer, so a
  // quiet stream holds no large one.
  std::array<char, 128> small_{};
  Limit armed_ = Limit::connect;
  bool host_is_ip_ = false;
  // The last read filled its room: more bytes are likely waiting.
  bool bursting_ = false;
  bool finished_ = false;
  bool closed_ = false;
  // The request was not sent whole: the connection is never kept.
  bool cut_short_ = false;
  // Interim answers skipped so far (at most kMaxInterim); beside the flags,
  // where it takes no room of its own.
  std::uint8_t interim_ = 0;
};

}  // namespace zelq::net::detail
