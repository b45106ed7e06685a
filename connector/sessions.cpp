#include "connector/sessions.h"

#include "connector/http_session.h"

namespace vaduna::connector {

void StartSession(boost::asio::ip::tcp::socket socket, SessionContext& context) {
  std::make_shared<HttpSession<boost::beast::tcp_stream>>(boost::beast::tcp_stream(std::move(socket)), context)->Run();
}

}  // namespace vaduna::connector
