#include "bench/page_echo.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdio>

namespace bench {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

PageEcho::PageEcho() : acceptor_(io_) {}

bool PageEcho::Listen(std::string& error) {
  beast::error_code code;
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), 0);
  acceptor_.open(endpoint.protocol(), code);
  if (!code) acceptor_.bind(endpoint, code);
  if (!code) acceptor_.listen(1, code);
  if (code) error = code.message();
  return !code;
}

unsigned short PageEcho::port() const {
  beast::error_code ignored;
  return acceptor_.local_endpoint(ignored).port();
}

bool PageEcho::Accept(std::chrono::seconds limit, std::string& error) {
  tcp::socket accepted(io_);
  std::optional<beast::error_code> acceptResult;
  acceptor_.async_accept(accepted, [&](beast::error_code code) { acceptResult = code; });
  io_.run_for(limit);
  if (!acceptResult) {
    error = "the page did not connect to the echo endpoint within " + std::to_string(limit.count()) + " s";
    return false;
  }
  if (*acceptResult) {
    error = "accepting the page's connection failed: " + acceptResult->message();
    return false;
  }
  beast::error_code ignored;
  acceptor_.close(ignored);

  // As the connector's socket: Beast's tcp_stream, no options beyond its defaults.
  socket_.emplace(beast::tcp_stream(std::move(accepted)));
  socket_->auto_fragment(false);
  std::optional<beast::error_code> handshake;
  socket_->async_accept([&](beast::error_code code) { handshake = code; });
  io_.restart();
  io_.run_for(limit);
  if (!handshake || *handshake) {
    error = "the page's WebSocket handshake failed" + (handshake ? ": " + handshake->message() : std::string());
    return false;
  }
  socket_->text(true);
  return true;
}

bool PageEcho::RoundTrip(std::uint64_t rid, std::uint64_t target) {
  if (!socket_) return false;
  // The connector's call frame for a service's Name, field for field.
  char frame[160];
  const int length =
      std::snprintf(frame, sizeof frame, R"({"op":"call","rid":%llu,"target":%llu,"member":"Name","kind":"method","args":[]})",
                    static_cast<unsigned long long>(rid), static_cast<unsigned long long>(target));
  beast::error_code code;
  socket_->write(net::buffer(frame, static_cast<std::size_t>(length)), code);
  if (code) return false;
  buffer_.clear();
  socket_->read(buffer_, code);
  if (code) return false;
  char expected[48];
  std::snprintf(expected, sizeof expected, R"("rid":%llu,)", static_cast<unsigned long long>(rid));
  return beast::buffers_to_string(buffer_.cdata()).find(expected) != std::string::npos;
}

void PageEcho::Close() {
  if (!socket_) return;
  std::optional<beast::error_code> closed;
  socket_->async_close(websocket::close_code::normal, [&](beast::error_code code) { closed = code; });
  io_.restart();
  io_.run_for(std::chrono::seconds(5));
  socket_.reset();
}

}  // namespace bench
