// Starts the session of a newly accepted connection.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "connector/session_context.h"

namespace vaduna::connector {

void StartSession(boost::asio::ip::tcp::socket socket, SessionContext& context);

}  // namespace vaduna::connector
