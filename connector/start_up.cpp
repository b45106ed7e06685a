#include "connector/start_up.h"

#include <windows.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdio>

#include "base/unique_resource.h"
#include "connector/attachment.h"
#include "connector/connections.h"
#include "connector/http_gate.h"
#include "connector/limits.h"
#include "connector/listener.h"
#include "connector/peer_user.h"
#include "connector/server_connection.h"
#include "vaduna_contract.h"

namespace vaduna::connector {
namespace {

namespace net = boost::asio;

// The way to stop the running connector from another thread (a console
// control handler, the notification icon, the end of the session).
struct StopControl {
  SRWLOCK lock = SRWLOCK_INIT;
  net::io_context* io = nullptr;  // null unless the I/O loop runs
  std::function<void()> begin;    // posted to the I/O thread
  UniqueHandle ended{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set after the clean end
};
StopControl g_stop;

}  // namespace

void RequestStop(bool waitForEnd) noexcept {
  bool running = false;
  {
    SrwShared hold(g_stop.lock);
    if (g_stop.io != nullptr) {
      net::post(*g_stop.io, g_stop.begin);
      running = true;
    }
  }
  if (running && waitForEnd) ::WaitForSingleObject(g_stop.ended.get(), static_cast<DWORD>(kStopWait.count()));
}

int RunConnector(const Options& options, Log& log, const StartUpHooks& hooks) {
  RegisteredServer server;
  Attachment attachment(server, log);
  Connections connections;
  const OriginPolicy origins(options.allowedOrigins, hooks.mayAsk);
  PageSite& site = hooks.site ? hooks.site(attachment) : attachment;
  PeerUserCheck peers(log);
  SessionContext context{origins, site, log, connections,
                         PageLink::Settings{std::chrono::seconds(options.callTimeoutSeconds)},
                         [&attachment] { return attachment.attached(); }, &peers};

  net::io_context io(1);
  // Every user of a shared machine runs a connector: without --port, the first free port of the range.
  const unsigned first = options.port;
  const unsigned last = options.portGiven ? first : first + contract::kConnectorPortCount - 1;
  boost::beast::error_code error;
  std::shared_ptr<Listener> listener;
  for (unsigned port = first; port <= last && !listener; ++port) {
    listener = Listener::Open(io, static_cast<std::uint16_t>(port), context, error);
    if (!listener && port < last) {
      log.Write("port " + std::to_string(port) + " is taken (" + error.message() + "): trying the next one");
    }
  }
  if (!listener) {
    const std::string ports = first == last ? std::to_string(first) : std::to_string(first) + " to " + std::to_string(last);
    const std::string reason = "cannot listen on 127.0.0.1:" + ports + ": " + error.message();
    log.Write(reason);
    if (hooks.cannotListen) hooks.cannotListen(reason);
    return 1;
  }
  std::printf("listening on ws://127.0.0.1:%u\n", static_cast<unsigned>(listener->port()));
  std::fflush(stdout);
  log.Write(std::string(kServiceName) + " " + kServiceVersion + " listening on 127.0.0.1:" +
            std::to_string(listener->port()) + ", call time-out " + std::to_string(options.callTimeoutSeconds) + " s");
  if (hooks.mayAsk) {
    log.Write("the desktop user is asked about pages of other sites (https, or http on this computer)");
  } else if (origins.empty()) {
    log.Write("no web application is allowed: every page is refused. Start the connector with --allow-origin "
              "scheme://host[:port] (for example --allow-origin http://127.0.0.1:8080) for each one that may attach");
  }
  for (const std::string& origin : options.allowedOrigins) log.Write("pages from " + origin + " may attach");

  auto work = net::make_work_guard(io);
  net::steady_timer grace(io);
  std::chrono::steady_clock::time_point deadline;
  bool stopping = false;
  std::function<void()> awaitClosed = [&] {
    if (connections.open() == 0 || std::chrono::steady_clock::now() >= deadline) {
      io.stop();
      return;
    }
    grace.expires_after(std::chrono::milliseconds(50));
    grace.async_wait([&](boost::beast::error_code) { awaitClosed(); });
  };
  const std::function<void()> begin = [&] {
    if (stopping) return;
    stopping = true;
    log.Write("stopping");
    listener->Stop();
    // The attached page is told `shutdown` and detached from the server first, then every other page.
    attachment.Shutdown([&] {
      net::post(io, [&] {
        for (const auto& link : connections.Links()) link->Detach(DetachReason::kShutdown);
        work.reset();
        deadline = std::chrono::steady_clock::now() + kShutdownGrace;
        awaitClosed();
      });
    });
  };
  {
    SrwExclusive hold(g_stop.lock);
    ::ResetEvent(g_stop.ended.get());
    g_stop.io = &io;
    g_stop.begin = begin;
  }
  if (hooks.listening) net::post(io, [&] { hooks.listening(listener->port()); });

  listener->Run();
  io.run();

  {
    SrwExclusive hold(g_stop.lock);
    g_stop.io = nullptr;
  }
  attachment.Flush();
  log.Write("stopped");
  ::SetEvent(g_stop.ended.get());
  return 0;
}

}  // namespace vaduna::connector
