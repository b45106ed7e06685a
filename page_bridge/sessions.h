// Starts the session of a newly accepted connection.
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include "page_bridge/session_context.h"

namespace vaduna::page_bridge {

void StartSession(boost::asio::ip::tcp::socket socket, SessionContext& context);

}  // namespace vaduna::page_bridge
