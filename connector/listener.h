// Accepts connections on the connector's port, on 127.0.0.1 only: nothing on
// the network beyond this computer can reach it. Each connection gets its own
// strand and session. A failing accept is retried after an AcceptBackoff delay.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include <cstdint>
#include <memory>

#include "connector/accept_backoff.h"
#include "connector/session_context.h"

namespace vaduna::connector {

class Listener final : public std::enable_shared_from_this<Listener> {
 public:
  // Binds 127.0.0.1:port (0: a free port); error tells why it could not.
  static std::shared_ptr<Listener> Open(boost::asio::io_context& io, std::uint16_t port, SessionContext& context,
                                        boost::beast::error_code& error);

  Listener(boost::asio::io_context& io, SessionContext& context);

  std::uint16_t port() const;
  void Run();
  // Stops accepting (on the I/O thread).
  void Stop();

 private:
  void Accept();
  void OnAccept(boost::beast::error_code error, boost::asio::ip::tcp::socket socket);

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  SessionContext& context_;
  boost::asio::steady_timer retry_;
  AcceptBackoff backoff_;
};

}  // namespace vaduna::connector
