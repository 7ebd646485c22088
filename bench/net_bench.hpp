// The loopback server and the bare Boost.Beast baseline clients of
// net_bench (see net_bench.cpp for what is measured).
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <cstddef>
#include <string>

#include "bench_process.hpp"

namespace zelq::bench {

// Tokens of the streamed answer whose CPU per token is measured.
inline constexpr std::size_t kStreamTokens = 20'000;
// Tokens each of the streams held in flight receives before it waits.
inline constexpr std::size_t kHeldTokens = 200;
inline constexpr std::size_t kHeldStreams = 1'000;
inline constexpr int kSequential = 2'000;
// The event id of the id probe.
inline constexpr std::size_t kIdProbeBytes = std::size_t{1} << 20;

// The chunks of a streamed answer: SMALL is the smallest chunk a server
// could send ({"choices":[{"index":0,"delta":{"content":" tok"}}]}); REAL
// is a chunk of about 230 bytes as OpenAI-compatible services send it, with
// "id", "object", "created", "model", "system_fingerprint", "logprobs",
// "finish_reason" and "obfuscation", its id, pad and text varying from
// chunk to chunk.
enum class Shape { SMALL, REAL };

// The "user" field of a streamed request picks the answer: "batched" is
// kStreamTokens events, "short" kHeldTokens events, each followed by the end
// marker; "hold" is kHeldTokens events and then nothing until the client
// leaves; each of them with "_real" appended streams REAL chunks, else SMALL
// ones. "id_probe" is an id line of kIdProbeBytes, then 16.5 KB of events
// "data:{}" and the end marker, in one HTTP chunk. Every event is an HTTP
// chunk of its own, all written at once. A request without "stream":true
// gets one small JSON answer.
//
// The server runs in a forked child process for the life of the benchmark
// binary, so its CPU time and memory never count. When the process may run
// on two or more CPUs, the server takes the highest and the benchmarks the
// lowest of them.
void start_server();
const std::string& server_base_url();
unsigned short server_port();
// The CPU the server is pinned to (-1 when it is not).
int server_cpu();
// "batched", "hold" or "short" (`base`) for chunks of `shape`.
std::string stream_user(const std::string& base, Shape shape);

// The bare clients, each on one keep-alive connection, doing what the
// invoker does at the least cost. `bare_sequential` (Beast) sends
// kSequential small requests one after the other and returns how many
// answered "ok"; `bare_stream` sends with Beast and reads one streamed
// answer of `user` with no HTTP library (the chunk framing undone by hand,
// the events split with memchr), and returns how many events came (the end
// marker counted).
boost::asio::awaitable<int> bare_sequential(unsigned short port);
boost::asio::awaitable<std::size_t> bare_stream(unsigned short port, std::string user);

// What a client is measured as in a process of its own: "bare" or "project".
// Runs kHeldStreams "hold" streams of `shape` at once until each has its
// kHeldTokens tokens and returns the growth of the process's peak resident
// set size over them, per stream, in bytes. With "id_probe", runs one streamed
// invocation of the "id_probe" answer (an "id" line of kIdProbeBytes, then
// 16.5 KB of events) and returns the peak growth over it, in bytes.
double held_stream_rss_in_child(const std::string& client, Shape shape = Shape::SMALL);

// The child side: when argv asks for a held-stream measurement, runs it,
// prints the result and returns true.
bool run_child_if_asked(int argc, char** argv);

}  // namespace zelq::bench
