// Serves a loopback imitation of one research service playing one scenario
// (see service_imitation.hpp), for trying the research example against it:
//
//   research_imitation <openai|google|parallel|perplexity>
//                      <normal|dropped|stalled|401|failed|empty>
//
// Prints the base URL to give the example's --base-url on its first line,
// serves on 127.0.0.1 until SIGTERM, SIGINT or the end of its standard
// input, then prints "creates <n> cancels <n> requests <n>" and exits 0.
// Exit status 2: bad arguments.
#include <unistd.h>

#include <csignal>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>

#include "imitation/service_imitation.hpp"

namespace {

namespace asio = boost::asio;
namespace imitation = zelq::examples::imitation;

// Calls `stop` once standard input ends (or cannot be watched: a regular
// file is read to its end at once).
void watch_input(asio::posix::stream_descriptor& input, std::function<void()> stop) {
  static char buffer[256];
  input.async_read_some(asio::buffer(buffer),
                        [&input, stop](const boost::system::error_code& error, std::size_t) {
                          if (error == asio::error::operation_aborted) return;
                          if (error) return stop();
                          watch_input(input, stop);
                        });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: research_imitation openai|google|parallel|perplexity "
                 "normal|dropped|stalled|401|failed|empty\n";
    return 2;
  }
  std::unique_ptr<imitation::ServiceImitation> service;
  try {
    service = imitation::make_imitation(argv[1], imitation::parse_scenario(argv[2]));
  } catch (const std::exception& error) {
    std::cerr << error.what() << "\n";
    return 2;
  }
  asio::io_context io;
  zelq::net::testing::LoopbackServer server(
      io, [&service](zelq::net::testing::Exchange& exchange) { return service->serve(exchange); });
  std::cout << service->base_url(server.origin()) << std::endl;

  asio::signal_set signals(io, SIGINT, SIGTERM);
  asio::posix::stream_descriptor input(io);
  auto stop = [&] {
    signals.cancel();
    input.close();
    server.stop();
    io.stop();
  };
  signals.async_wait([&](const boost::system::error_code& error, int) {
    if (!error) stop();
  });
  boost::system::error_code ignored;
  input.assign(::dup(STDIN_FILENO), ignored);
  watch_input(input, stop);
  io.run();

  const imitation::RequestCounts& counts = service->counts();
  std::cout << "creates " << counts.creates << " cancels " << counts.cancels << " requests "
            << counts.total << std::endl;
  return 0;
}
