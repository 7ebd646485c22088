#include "zelq/net/http_client.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "zelq/core/errors.hpp"
#include "zelq/net/detail/http_connection.hpp"

namespace zelq::net {
namespace {

constexpr std::size_t kChunkSize = 16 * 1024;
constexpr std::size_t kFirstReserve = 64 * 1024;

}  // namespace

BodyReader::BodyReader(std::shared_ptr<detail::Connection> connection)
    : connection_(std::move(connection)) {}

BodyReader::~BodyReader() { close(); }

void BodyReader::close() noexcept {
  if (connection_) connection_->close();
}

boost::asio::awaitable<std::string> BodyReader::read_some() {
  auto connection = connection_;
  if (!connection) co_return std::string();
  co_return co_await connection->read_body_some(std::nullopt);
}

boost::asio::awaitable<std::string> BodyReader::read_some(
    std::chrono::steady_clock::time_point deadline) {
  auto connection = connection_;
  if (!connection) co_return std::string();
  co_return co_await connection->read_body_some(deadline);
}

boost::asio::awaitable<std::string> BodyReader::read_all(std::size_t max_bytes) {
  auto connection = connection_;
  std::string body;
  if (!connection) co_return body;
  // The Content-Length is the server's word, not bytes that arrived: it
  // sizes the first reservation at most up to kFirstReserve, and the body
  // grows as bytes come.
  if (auto length = connection->content_length(); length && *length <= max_bytes) {
    body.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*length, kFirstReserve)));
  }
  // Read into scratch space that is not zero-filled first, then appended.
  auto scratch = std::make_unique_for_overwrite<char[]>(kChunkSize);
  while (true) {
    auto n = co_await connection->read_body(scratch.get(), kChunkSize);
    if (n == 0) co_return body;
    if (body.size() + n > max_bytes) {
      connection->close();
      throw core::OverLimitError<core::RuntimeError>("response body exceeds the limit of " +
                                                     std::to_string(max_bytes) + " bytes");
    }
    body.append(scratch.get(), n);
  }
}

HttpClient::HttpClient(HttpClientOptions options)
    : state_(detail::make_client_state(std::move(options))) {}

const HttpClientOptions& HttpClient::options() const noexcept {
  return detail::options_of(*state_);
}

boost::asio::awaitable<HttpResponse> HttpClient::request(HttpRequest request) const {
  return do_request(state_, std::move(request));
}

boost::asio::awaitable<HttpStream> HttpClient::stream(HttpRequest request) const {
  return do_stream(state_, std::move(request));
}

boost::asio::awaitable<HttpResponse> HttpClient::do_request(
    std::shared_ptr<const detail::ClientState> state, HttpRequest request) {
  auto limit = detail::options_of(*state).max_body_size;
  auto opened = co_await detail::open_connection(std::move(state), std::move(request), limit);
  HttpResponse response;
  static_cast<HttpResponseHead&>(response) = std::move(opened.head);
  BodyReader body(std::move(opened.connection));
  response.body = co_await body.read_all(limit);
  co_return response;
}

boost::asio::awaitable<HttpStream> HttpClient::do_stream(
    std::shared_ptr<const detail::ClientState> state, HttpRequest request) {
  auto opened = co_await detail::open_connection(std::move(state), std::move(request), {});
  co_return HttpStream{std::move(opened.head), BodyReader(std::move(opened.connection))};
}

}  // namespace zelq::net
