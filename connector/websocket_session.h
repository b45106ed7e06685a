// A page's WebSocket connection, in the shape of Beast's asynchronous
// WebSocket server: owned by its pending operations (shared_from_this), one
// strand (the stream's executor), nothing blocking in a handler. It reads the
// page's frames into its link and writes the link's frames from a queue, one
// at a time; Send and Close may come from any thread and are posted to the
// strand. A page that says no hello in time, or whose unsent frames exceed
// kMaxUnsentBytes, is closed with 1008. Stream is beast::tcp_stream, or beast::test::stream in the tests.
#pragma once

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

#include "connector/frame_queue.h"
#include "connector/http_gate.h"
#include "connector/limits.h"
#include "connector/page_link.h"
#include "connector/page_socket.h"
#include "connector/session_context.h"

namespace vaduna::connector {

template <class Stream>
class WebSocketSession final : public PageSocket, public std::enable_shared_from_this<WebSocketSession<Stream>> {
 public:
  // number is the connection's place, taken from context.connections; it is given back at destruction.
  WebSocketSession(Stream&& stream, SessionContext& context, std::uint64_t number, std::string origin)
      : ws_(std::move(stream)),
        context_(context),
        number_(number),
        origin_(std::move(origin)),
        timer_(ws_.get_executor()) {}

  ~WebSocketSession() { context_.connections.Closed(number_); }

  // Completes the handshake of request, then reads the page's frames.
  void Run(HttpRequest request) {
    if constexpr (std::is_same_v<Stream, boost::beast::tcp_stream>) {
      boost::beast::get_lowest_layer(ws_).expires_never();  // the WebSocket's own timeouts from here on
    }
    ws_.set_option(boost::beast::websocket::stream_base::timeout::suggested(boost::beast::role_type::server));
    ws_.set_option(boost::beast::websocket::stream_base::decorator([](boost::beast::websocket::response_type& response) {
      response.set(boost::beast::http::field::server, std::string(kServiceName) + "/" + kServiceVersion);
    }));
    // No limit of Beast's: on a larger frame it would close at once with the rest of the frame unread, which
    // the peer's system answers with a reset instead of letting the 1009 close arrive. OnRead bounds it.
    ws_.read_message_max(0);
    ws_.auto_fragment(false);
    ws_.async_accept(request, boost::beast::bind_front_handler(&WebSocketSession::OnAccept, this->shared_from_this()));
  }

  void Send(std::string text) noexcept override {
    try {
      boost::asio::post(ws_.get_executor(), [self = this->shared_from_this(), text = std::move(text)]() mutable {
        self->Queue(std::move(text));
      });
    } catch (...) {
      // Out of memory: the frame is lost, as on a failing connection.
    }
  }

  void Close(CloseCode code, std::string reason) noexcept override {
    try {
      boost::asio::post(ws_.get_executor(), [self = this->shared_from_this(), code, reason = std::move(reason)] {
        self->RequestClose(code, reason);
      });
    } catch (...) {
    }
  }

 private:
  void OnAccept(boost::beast::error_code error) {
    if (error) {
      context_.log.Write("handshake_failed", {.page = number_, .message = error.message()});
      return;
    }
    link_ = std::make_shared<PageLink>(this->weak_from_this(), context_.site, context_.log, context_.linkSettings,
                                       number_, origin_);
    context_.connections.SetLink(number_, link_);
    context_.log.Write("connected", {.page = number_, .origin = origin_});
    timer_.expires_after(context_.linkSettings.helloTimeout);
    timer_.async_wait([weak = this->weak_from_this()](boost::beast::error_code error) {
      const auto self = weak.lock();
      if (error || !self || self->link_->greeted()) return;
      const auto seconds = std::chrono::duration<double>(self->context_.linkSettings.helloTimeout).count();
      std::ostringstream within;
      within << "a page that said no hello within " << seconds << " s";
      self->link_->Refuse(CloseCode::kPolicy, within.str());
    });
    Read();
  }

  // Reads a message in parts, so that one over kMaxFrameBytes is noticed before more of it is kept. A part
  // as large as the frame allows is read into place directly; Beast's own hint would be 1536 bytes.
  void Read() {
    const std::size_t room = std::min(kReadPart, kMaxFrameBytes + 1 - buffer_.size());
    ws_.async_read_some(buffer_.prepare(room),
                        boost::beast::bind_front_handler(&WebSocketSession::OnRead, this->shared_from_this()));
  }

  void OnRead(boost::beast::error_code error, std::size_t bytes) {
    buffer_.commit(bytes);
    if (error) {
      open_ = false;
      link_->SocketClosed(Describe(error));
      return;
    }
    // A frame whose header announces more than the bound is refused at once: its payload may never come.
    const bool announcedTooBig = !ws_.is_message_done() && buffer_.size() + ws_.read_size_hint(1) > kMaxFrameBytes;
    if (buffer_.size() > kMaxFrameBytes || announcedTooBig) {
      // No read from here on: the close handshake reads and drops the rest of the message, then the peer's close.
      buffer_.clear();
      buffer_.shrink_to_fit();
      link_->Refuse(CloseCode::kTooBig, "a frame over 16 MiB");
      return;
    }
    if (!ws_.is_message_done()) {
      Read();
      return;
    }
    if (!ws_.got_text()) {
      link_->Refuse(CloseCode::kUnsupportedData, "a binary frame");
    } else {
      const auto data = buffer_.cdata();
      link_->ReceiveFrame(std::string_view(static_cast<const char*>(data.data()), data.size()));
    }
    buffer_.consume(buffer_.size());
    Read();
  }

  std::string Describe(boost::beast::error_code error) const {
    namespace websocket = boost::beast::websocket;
    if (error == websocket::error::closed) {
      const websocket::close_reason& reason = ws_.reason();
      return "closed (" + std::to_string(reason.code) + ")";
    }
    if (error == websocket::error::bad_frame_payload) return "refused text that is not UTF-8 (closed with 1007)";
    return error.message();
  }

  void Queue(std::string text) {
    if (!open_ || closeRequested_) return;
    if (!frames_.Push(std::move(text))) {
      // The page stopped reading: what waits is dropped, and a write that never ends is cut short.
      frames_.DropWaiting();
      link_->Refuse(CloseCode::kPolicy, "a page that does not read its messages (over " +
                                            std::to_string(kMaxUnsentBytes >> 20) + " MiB unsent)");
      timer_.expires_after(kStalledCloseGrace);
      timer_.async_wait([weak = this->weak_from_this()](boost::beast::error_code error) {
        const auto self = weak.lock();
        if (error || !self || !self->open_) return;
        boost::beast::get_lowest_layer(self->ws_).close();
      });
      return;
    }
    WriteNext();
  }

  void RequestClose(CloseCode code, std::string reason) {
    if (!open_ || closeRequested_) return;
    // A close frame's reason holds at most 123 bytes.
    closeRequested_.emplace(static_cast<boost::beast::websocket::close_code>(code),
                            boost::beast::string_view(reason.data(), std::min<std::size_t>(reason.size(), 120)));
    WriteNext();
  }

  void WriteNext() {
    if (writing_ || !open_) return;
    if (!frames_.empty()) {
      writing_ = true;
      ws_.text(true);
      ws_.async_write(boost::asio::buffer(frames_.front()),
                      boost::beast::bind_front_handler(&WebSocketSession::OnWrite, this->shared_from_this()));
    } else if (closeRequested_) {
      writing_ = true;
      ws_.async_close(*closeRequested_,
                      boost::beast::bind_front_handler(&WebSocketSession::OnClose, this->shared_from_this()));
    }
  }

  void OnWrite(boost::beast::error_code error, std::size_t) {
    writing_ = false;
    frames_.Pop();
    if (error) {
      open_ = false;
      frames_.Clear();
      return;  // the pending read fails too and ends the link
    }
    WriteNext();
  }

  void OnClose(boost::beast::error_code) {
    writing_ = false;
    open_ = false;
    frames_.Clear();
    timer_.cancel();
  }

  static constexpr std::size_t kReadPart = 1024 * 1024;

  boost::beast::websocket::stream<Stream> ws_;
  boost::beast::flat_buffer buffer_;
  SessionContext& context_;
  const std::uint64_t number_;
  const std::string origin_;
  std::shared_ptr<PageLink> link_;
  boost::asio::steady_timer timer_;  // the hello time-out, then the grace of a stalled close

  // On the strand:
  FrameQueue frames_{kMaxUnsentBytes};
  std::optional<boost::beast::websocket::close_reason> closeRequested_;
  bool writing_ = false;
  bool open_ = true;
};

}  // namespace vaduna::connector
