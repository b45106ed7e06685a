#include "connector/listener.h"

#include <boost/asio/strand.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include "connector/sessions.h"

namespace vaduna::connector {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Listener::Listener(net::io_context& io, SessionContext& context)
    : io_(io), acceptor_(io), context_(context), retry_(io) {}

std::shared_ptr<Listener> Listener::Open(net::io_context& io, std::uint16_t port, SessionContext& context,
                                         boost::beast::error_code& error) {
  auto listener = std::make_shared<Listener>(io, context);
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), port);
  // No SO_REUSEADDR: on Windows it would let another program bind the same port and take our pages.
  listener->acceptor_.open(endpoint.protocol(), error);
  if (!error) listener->acceptor_.bind(endpoint, error);
  if (!error) listener->acceptor_.listen(net::socket_base::max_listen_connections, error);
  if (error) return nullptr;
  return listener;
}

std::uint16_t Listener::port() const {
  boost::beast::error_code ignored;
  return acceptor_.local_endpoint(ignored).port();
}

void Listener::Run() { Accept(); }

void Listener::Stop() {
  boost::beast::error_code ignored;
  acceptor_.close(ignored);
  retry_.cancel();
}

void Listener::Accept() {
  acceptor_.async_accept(net::make_strand(io_),
                         boost::beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
}

void Listener::OnAccept(boost::beast::error_code error, tcp::socket socket) {
  if (error == net::error::operation_aborted || !acceptor_.is_open()) return;  // stopped
  if (!error) {
    backoff_.Succeeded();
    StartSession(std::move(socket), context_);
    Accept();
    return;
  }
  const bool wasCapped = backoff_.capped();
  const std::chrono::milliseconds delay = backoff_.Failed();
  if (!wasCapped) {
    // Once the delay is capped the failure is not logged again until an accept succeeds.
    context_.log.Write("accept_failed", {.ms = static_cast<std::uint64_t>(delay.count()), .message = error.message()});
  }
  retry_.expires_after(delay);
  retry_.async_wait([self = shared_from_this()](boost::beast::error_code waited) {
    if (!waited && self->acceptor_.is_open()) self->Accept();
  });
}

}  // namespace vaduna::connector
