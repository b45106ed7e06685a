#include "page_bridge/sessions.h"

#include "page_bridge/http_session.h"

namespace vaduna::page_bridge {

void StartSession(boost::asio::ip::tcp::socket socket, SessionContext& context) {
  std::make_shared<HttpSession<boost::beast::tcp_stream>>(boost::beast::tcp_stream(std::move(socket)), context)->Run();
}

}  // namespace vaduna::page_bridge
