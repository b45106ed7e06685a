// A connection to the connector's port before it is a page's WebSocket, in the
// shape of Beast's asynchronous server: it reads one HTTP request head at a
// time and answers it (status, preflight, refusal), or hands the stream to a
// WebSocketSession when the request is an allowed handshake. Stream is
// beast::tcp_stream, or beast::test::stream in the tests.
#pragma once

#include <boost/asio/dispatch.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "connector/http_gate.h"
#include "connector/limits.h"
#include "connector/peer_user.h"
#include "connector/session_context.h"
#include "connector/websocket_session.h"

namespace vaduna::connector {

template <class Stream>
class HttpSession final : public std::enable_shared_from_this<HttpSession<Stream>> {
 public:
  HttpSession(Stream&& stream, SessionContext& context) : stream_(std::move(stream)), context_(context) {}
  ~HttpSession() {
    if (counted_) context_.connections.ClosedHttp();
  }

  // Reads the first request; a connection beyond kMaxHttpConnections is closed unread.
  void Run() {
    boost::asio::dispatch(stream_.get_executor(),
                          boost::beast::bind_front_handler(&HttpSession::Start, this->shared_from_this()));
  }

 private:
  void Start() {
    counted_ = context_.connections.OpenHttp();
    if (!counted_) {
      if (context_.connections.FirstHttpRefusal()) {
        context_.log.Write("http_full", {.message = std::to_string(kMaxHttpConnections)});
      }
      boost::beast::error_code ignored;
      if constexpr (std::is_same_v<Stream, boost::beast::tcp_stream>) {
        stream_.socket().close(ignored);
      } else {
        stream_.close();
      }
      return;
    }
    Read();
  }

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHttpHeaderBytes);
    parser_->body_limit(0);  // no request here has a body
    if constexpr (std::is_same_v<Stream, boost::beast::tcp_stream>) stream_.expires_after(kHttpReadTimeout);
    boost::beast::http::async_read(stream_, buffer_, *parser_,
                                   boost::beast::bind_front_handler(&HttpSession::OnRead, this->shared_from_this()));
  }

  void OnRead(boost::beast::error_code error, std::size_t) {
    if (error == boost::beast::http::error::end_of_stream) {
      Shutdown();
      return;
    }
    if (error) {
      if (error != boost::beast::error::timeout && error != boost::asio::error::operation_aborted) {
        context_.log.Write("request_unreadable", {.message = error.message()});
      }
      Shutdown();
      return;
    }
    HttpRequest request = parser_->release();
    if (!PeerAdmitted()) {
      Write(OtherUsersConnector(request));
      return;
    }
        GateDecision decision = Decide(request, context_.origins, context_.attached ? context_.attached() : false, context_.port);
    if (decision.upgrade) {
      const std::uint64_t number = context_.connections.Open();
      if (number != 0) {
        const auto origin = request[boost::beast::http::field::origin];
        std::make_shared<WebSocketSession<Stream>>(std::move(stream_), context_, number,
                                                   std::string(origin.data(), origin.size()))
            ->Run(std::move(request));
        return;
      }
      decision.response = Busy(request);
      decision.refusal = "a page connection: " + std::to_string(kMaxPageConnections) + " pages are connected already";
    }
    if (!decision.refusal.empty()) {
      const auto origin = request[boost::beast::http::field::origin];
      context_.log.Write("refused", {.origin = std::string(origin.data(), origin.size()), .message = decision.refusal});
    }
    Write(std::move(decision.response));
  }

  // Another user's program is answered nothing but its refusal (checked once per connection).
  bool PeerAdmitted() {
    if constexpr (std::is_same_v<Stream, boost::beast::tcp_stream>) {
      if (peerAdmitted_) return *peerAdmitted_;
      if (context_.peers == nullptr) return *(peerAdmitted_ = true);
      boost::beast::error_code remoteError, localError;
      const auto remote = stream_.socket().remote_endpoint(remoteError);
      const auto local = stream_.socket().local_endpoint(localError);
      if (remoteError || localError) return *(peerAdmitted_ = false);
      peerAdmitted_ = context_.peers->Admits(LoopbackPair{remote.port(), local.port()});
      return *peerAdmitted_;
    } else {
      return true;
    }
  }

  void Write(HttpResponse response) {
    response_ = std::make_shared<HttpResponse>(std::move(response));
    boost::beast::http::async_write(stream_, *response_,
                                    boost::beast::bind_front_handler(&HttpSession::OnWrite, this->shared_from_this(),
                                                                     response_->need_eof()));
  }

  void OnWrite(bool close, boost::beast::error_code error, std::size_t) {
    response_.reset();
    if (error || close) {
      Shutdown();
      return;
    }
    Read();
  }

  void Shutdown() {
    boost::beast::error_code ignored;
    if constexpr (std::is_same_v<Stream, boost::beast::tcp_stream>) {
      stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    } else {
      stream_.close();
    }
  }

  Stream stream_;
  boost::beast::flat_buffer buffer_;
  SessionContext& context_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::empty_body>> parser_;
  std::shared_ptr<HttpResponse> response_;
  bool counted_ = false;  // holds one of the kMaxHttpConnections places
  std::optional<bool> peerAdmitted_;
};

}  // namespace vaduna::connector
