// Benchmarks of zelq::net against hostile servers, each answer written by a
// loopback server in a forked child process as fast as the socket takes it,
// so that its CPU time and memory never count.
//
// BM_EndlessChunkExtension / BM_EndlessTrailer: a chunked body whose
// chunk-size line ("1;" and then 40 MB of extension) or trailer (40 MB of one
// field line) never ends, read by HttpClient::request with no time limit:
// the call ends with a ConnectionError; cpu_ms = this thread's CPU time (user
// + sys) until then (target: < 1,000), peak_rss_growth_mb = the growth of
// the process's peak resident set over the call (target: < 64).
//
// BM_BusySocketDeadline: an event stream of chat chunks that never ends,
// written at full speed so the socket never empties, read by ApiClient with
// a request time limit of 2 s and no body limit: the call ends with the
// request's time-out;
// ms_past_deadline = the wall time from the start of the call to its end,
// less the 2 s (target: < 500).
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "bench_process.hpp"
#include "zelq/core/errors.hpp"
#include "zelq/net/api_client.hpp"
#include "zelq/net/http_client.hpp"
#include "zelq/net/http_error.hpp"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using zelq::bench::run;
using zelq::bench::thread_cpu_seconds;

constexpr std::size_t kHostileBytes = 40'000'000;

// Writes all of `bytes`; false once the client has gone.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// One connection: reads a request head and writes the answer its target
// names, then waits for the client to close.
void answer(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const auto n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
  const std::string filler(1 << 20, 'x');
  if (request.find(" /v1/busy ") != std::string::npos) {
    const std::string event = "data: {\"choices\":[{\"delta\":{\"content\":\"tok\"}}]}\n\n";
    std::string batch;
    while (batch.size() < 60'000) batch += event;
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", batch.size());
    const std::string chunk = size + batch + "\r\n";
    if (!write_all(fd, chunked + "Content-Type: text/event-stream\r\n\r\n")) return;
    while (write_all(fd, chunk)) {
    }
    return;
  }
  const bool trailer = request.find(" /v1/trailer ") != std::string::npos;
  if (!write_all(fd, chunked + "\r\n" + (trailer ? "2\r\nok\r\n0\r\nX-T: " : "1;"))) return;
  for (std::size_t sent = 0; sent < kHostileBytes; sent += filler.size()) {
    if (!write_all(fd, filler)) return;
  }
  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
  }
}

struct Server {
  pid_t pid = -1;
  unsigned short port = 0;
};

Server& server() {
  static Server instance;
  return instance;
}

// Forks the server before any thread starts; it serves one connection at a
// time until killed.
void start_server() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 16) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("cannot listen on 127.0.0.1");
  }
  server().port = ntohs(address.sin_port);
  server().pid = ::fork();
  if (server().pid == 0) {
    while (true) {
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      answer(fd);
      ::close(fd);
    }
  }
  ::close(listener);
}

void stop_server() {
  if (server().pid > 0) {
    ::kill(server().pid, SIGKILL);
    ::waitpid(server().pid, nullptr, 0);
  }
}

std::string base_url() { return "http://127.0.0.1:" + std::to_string(server().port) + "/v1"; }

// A figure of /proc/self/status, in bytes.
double status_bytes(std::string_view field) {
  return static_cast<double>(zelq::bench::status_kb(field)) * 1024;
}

asio::awaitable<std::string> hostile_request(std::string url) {
  zelq::net::HttpClient client;
  zelq::net::HttpRequest request{.url = std::move(url)};
  try {
    co_await client.request(std::move(request));
  } catch (const zelq::net::ConnectionError& error) {
    co_return error.what();
  }
  co_return "no error";
}

void hostile_framing(benchmark::State& state, const std::string& path, const std::string& error) {
  double cpu = 0;
  double growth = 0;
  for (auto _ : state) {
    asio::io_context io;
    zelq::bench::reset_peak_rss();
    const double before = status_bytes("VmRSS:");
    const double started = thread_cpu_seconds();
    const std::string seen = run(io, hostile_request(base_url() + path));
    cpu = thread_cpu_seconds() - started;
    growth = status_bytes("VmHWM:") - before;
    state.SetIterationTime(cpu);
    if (seen.find(error) == std::string::npos) state.SkipWithError(seen.c_str());
  }
  state.counters["cpu_ms"] = cpu * 1e3;
  state.counters["peak_rss_growth_mb"] = growth / 1e6;
}

void BM_EndlessChunkExtension(benchmark::State& state) {
  hostile_framing(state, "/extension", "chunk-size line longer than");
}
BENCHMARK(BM_EndlessChunkExtension)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_EndlessTrailer(benchmark::State& state) {
  hostile_framing(state, "/trailer", "trailer longer than");
}
BENCHMARK(BM_EndlessTrailer)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

asio::awaitable<std::string> busy_stream() {
  zelq::net::ApiClientOptions options;
  options.base_url = base_url();
  options.max_retries = 0;
  // Only the time limit can end the call.
  options.max_body_size = std::numeric_limits<std::size_t>::max();
  zelq::net::ApiClient client(std::move(options));
  zelq::net::ApiRequest request;
  request.method = "GET";
  request.path = "busy";
  request.timeout = 2s;
  try {
    zelq::net::ApiEventStream stream = co_await client.request_events(std::move(request));
    while (co_await stream.next()) {
    }
  } catch (const zelq::core::TimeoutError& error) {
    co_return error.what();
  } catch (const std::exception& error) {
    co_return std::string("another error: ") + error.what();
  }
  co_return "the end of the stream";
}

void BM_BusySocketDeadline(benchmark::State& state) {
  double past = 0;
  for (auto _ : state) {
    asio::io_context io;
    const auto started = Clock::now();
    const std::string seen = run(io, busy_stream());
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    past = std::max(past, took - 2.0);
    state.SetIterationTime(took);
    if (seen.find("timed out after 2000 ms") == std::string::npos) {
      state.SkipWithError(seen.c_str());
    }
  }
  state.counters["ms_past_deadline"] = past * 1e3;
}
BENCHMARK(BM_BusySocketDeadline)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  start_server();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  stop_server();
  return 0;
}
