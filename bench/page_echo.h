// The bench's own WebSocket endpoint for the bench page's echo socket: one
// round trip to the page measured the way the connector makes it (Beast on
// the same platform, a frame of the connector's call shape out, the page's
// reply frame back), without the connector's call machinery. The page
// (bench/connector-page/bench.js, startEcho) connects to it and answers each
// frame at once.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace bench {

class PageEcho {
 public:
  PageEcho();

  // Listens on 127.0.0.1 and a free port; false with error set when it cannot.
  bool Listen(std::string& error);
  unsigned short port() const;

  // Waits at most limit for the page to connect and complete the WebSocket handshake.
  bool Accept(std::chrono::seconds limit, std::string& error);

  // Sends the call frame rid (the connector's shape of a "Name" call on object target) and reads the page's
  // reply; false when the socket failed or the reply is not the one to rid.
  bool RoundTrip(std::uint64_t rid, std::uint64_t target);

  // Closes the socket (1000), boundedly.
  void Close();

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  std::optional<boost::beast::websocket::stream<boost::beast::tcp_stream>> socket_;
  boost::beast::flat_buffer buffer_;
};

}  // namespace bench
