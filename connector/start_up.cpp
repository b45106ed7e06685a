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
#include "connector/proxy_stub_classes.h"
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
                         [&attachment] { return attachment.attached(); }};
  context.peers = &peers;

  net::io_context io(1);
  // Every user of a shared machine runs a connector: without --port, the first free port of the range.
  const unsigned first = options.port;
  const unsigned last = options.portGiven || first == 0 ? first : first + contract::kConnectorPortCount - 1;
  boost::beast::error_code error;
  std::shared_ptr<Listener> listener;
  for (unsigned port = first; port <= last && !listener; ++port) {
    listener = Listener::Open(io, static_cast<std::uint16_t>(port), context, error);
    if (!listener && port < last) log.Write("port_taken", {.port = port, .message = error.message()});
  }
  if (!listener) {
    log.Write("listen_failed", {.port = last, .message = error.message()});
    if (hooks.cannotListen) hooks.cannotListen("cannot listen on 127.0.0.1:" + std::to_string(last) + ": " + error.message());
    return 1;
  }
  context.port = listener->port();
  std::printf("listening on ws://127.0.0.1:%u\n", static_cast<unsigned>(listener->port()));
  std::fflush(stdout);
  log.Write("listening", {.port = listener->port(),
                          .ms = options.callTimeoutSeconds * 1000ull,
                          .message = std::string(kServiceName) + " " + kServiceVersion});
  if (hooks.mayAsk) {
    log.Write("asking_users");
  } else if (origins.empty()) {
    log.Write("no_origins");
  }
  for (const std::string& origin : options.allowedOrigins) log.Write("origin_allowed", {.origin = origin});
  std::string interfaceName;
  if (const HRESULT hr = RegisterProxyStubClasses(interfaceName); FAILED(hr)) {
    log.Write("proxy_stub_unregistered", {.result = HexCode(hr), .message = interfaceName});
  }

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
