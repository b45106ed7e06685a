// The connector: stands in for a browser page towards COM. Pages of the
// allowed web applications connect on a loopback WebSocket and attach their
// script application to the desktop integration server through COM objects of
// this process; desktop clients' calls reach the page's objects by member name.
//
//   connector [--port N] [--allow-origin ORIGIN]... [--call-timeout S] [--verbose]
//
// Prints "listening on ws://127.0.0.1:PORT" once it listens; logs on standard
// error. Ends on Ctrl+C (or when its console closes) after detaching the
// attached page. Exit code 0, 1 when it cannot listen, 2 for a wrong command line.
#include <windows.h>
#include <objbase.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdio>
#include <optional>

#include "base/hresult.h"
#include "base/unique_resource.h"
#include "connector/attachment.h"
#include "connector/connections.h"
#include "connector/http_gate.h"
#include "connector/limits.h"
#include "connector/listener.h"
#include "connector/log.h"
#include "connector/options.h"
#include "connector/proxy_stub_classes.h"
#include "connector/server_connection.h"

namespace {

namespace net = boost::asio;
using namespace vaduna::connector;

// The way to stop the running connector, for the console control handler,
// which the system calls on a thread of its own.
struct StopControl {
  SRWLOCK lock = SRWLOCK_INIT;
  net::io_context* io = nullptr;  // null once the I/O loop has ended
  std::function<void()> begin;    // posted to the I/O thread
  vaduna::UniqueHandle ended{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set after the clean end
};
StopControl g_stop;

BOOL WINAPI OnConsoleControl(DWORD event) {
  {
    vaduna::SrwShared hold(g_stop.lock);
    if (g_stop.io != nullptr) net::post(*g_stop.io, g_stop.begin);
  }
  // After these the process is ended as soon as the handler returns: wait (boundedly) for the clean end.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    ::WaitForSingleObject(g_stop.ended.get(), 5000);
  }
  return TRUE;
}

int Run(const Options& options) {
  Log log(options.verbose, {}, options.logFormat);
  RegisteredServer server;
  Attachment attachment(server, log);
  Connections connections;
  const OriginPolicy origins(options.allowedOrigins);
  SessionContext context{origins, attachment, log, connections,
                         PageLink::Settings{std::chrono::seconds(options.callTimeoutSeconds)},
                         [&attachment] { return attachment.attached(); }};

  net::io_context io(1);
  boost::beast::error_code error;
  const std::shared_ptr<Listener> listener = Listener::Open(io, options.port, context, error);
  if (!listener) {
    log.Write("listen_failed", {.port = options.port, .message = error.message()});
    return 1;
  }
  context.port = listener->port();
  std::printf("listening on ws://127.0.0.1:%u\n", static_cast<unsigned>(listener->port()));
  std::fflush(stdout);
  log.Write("listening", {.port = listener->port(),
                          .ms = options.callTimeoutSeconds * 1000ull,
                          .message = std::string(kServiceName) + " " + kServiceVersion});
  if (origins.empty()) {
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
    vaduna::SrwExclusive hold(g_stop.lock);
    g_stop.io = &io;
    g_stop.begin = begin;
  }
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);

  listener->Run();
  io.run();

  {
    vaduna::SrwExclusive hold(g_stop.lock);
    g_stop.io = nullptr;
  }
  attachment.Flush();
  log.Write("stopped");
  ::SetEvent(g_stop.ended.get());
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (const std::optional<std::string> wrong = ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "%s: %s\n%s", vaduna::contract::kConnectorProgram, wrong->c_str(), Usage().c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(Usage().c_str(), stdout);
    return 0;
  }
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(init)) {
    std::fprintf(stderr, "%s: CoInitializeEx failed with %s\n", vaduna::contract::kConnectorProgram, HexCode(init).c_str());
    return 1;
  }
  int exitCode = 1;
  try {
    exitCode = Run(options);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", vaduna::contract::kConnectorProgram, failure.what());
  }
  ::CoUninitialize();
  return exitCode;
}
