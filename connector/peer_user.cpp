#include "connector/peer_user.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <vector>

#include "base/unique_resource.h"

namespace vaduna::connector {
namespace {

namespace http = boost::beast::http;

// The user of a process's token, as a copy of its SID; empty when it cannot be read.
std::vector<BYTE> TokenUserOf(HANDLE process) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
  const UniqueHandle owned(token);
  DWORD bytes = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
  if (bytes == 0) return {};
  std::vector<BYTE> buffer(bytes);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes)) return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  std::vector<BYTE> copy(::GetLengthSid(sid));
  if (!::CopySid(static_cast<DWORD>(copy.size()), copy.data(), sid)) return {};
  return copy;
}

// The process owning the loopback end at peerPort connected to ownPort; 0 when the table does not say.
DWORD OwnerOf(const LoopbackPair& pair) {
  std::vector<BYTE> table(16 * 1024);
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD bytes = static_cast<DWORD>(table.size());
    const DWORD status =
        ::GetExtendedTcpTable(table.data(), &bytes, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (status == ERROR_INSUFFICIENT_BUFFER) {
      table.resize(bytes + 4096);
      continue;
    }
    if (status != NO_ERROR) return 0;
    const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
      const MIB_TCPROW_OWNER_PID& row = rows->table[i];
      if (row.dwLocalAddr == loopback && ntohs(static_cast<u_short>(row.dwLocalPort)) == pair.peerPort &&
          ntohs(static_cast<u_short>(row.dwRemotePort)) == pair.ownPort) {
        return row.dwOwningPid;
      }
    }
    return 0;
  }
  return 0;
}

}  // namespace

PeerUser SystemPeerUser(const LoopbackPair& pair) noexcept {
  try {
    const DWORD owner = OwnerOf(pair);
    if (owner == 0) return PeerUser::kUnknown;
    if (owner == ::GetCurrentProcessId()) return PeerUser::kSame;
    const UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, owner));
    if (!process) {
      // Access to a process of the same user is not refused; another user's usually is.
      return ::GetLastError() == ERROR_ACCESS_DENIED ? PeerUser::kOther : PeerUser::kUnknown;
    }
    const std::vector<BYTE> theirs = TokenUserOf(process.get());
    const std::vector<BYTE> ours = TokenUserOf(::GetCurrentProcess());
    if (theirs.empty() || ours.empty()) return PeerUser::kUnknown;
    return ::EqualSid(const_cast<BYTE*>(theirs.data()), const_cast<BYTE*>(ours.data())) ? PeerUser::kSame
                                                                                          : PeerUser::kOther;
  } catch (...) {
    return PeerUser::kUnknown;
  }
}

bool PeerUserCheck::Admits(const LoopbackPair& pair) noexcept {
  PeerUser user = PeerUser::kUnknown;
  try {
    user = lookup_(pair);
  } catch (...) {
  }
  switch (user) {
    case PeerUser::kSame:
      return true;
    case PeerUser::kOther:
      log_.Write("other_user", {.port = pair.peerPort});
      return false;
    case PeerUser::kUnknown:
      break;
  }
  if (!unknownAllowed_) {
    log_.Write("owner_unknown", {.port = pair.peerPort});
    return false;
  }
  if (!unknownSaid_.exchange(true)) {
    log_.Write("owner_unnamed");
  }
  return true;
}

HttpResponse OtherUsersConnector(const HttpRequest& request) {
  HttpResponse response{http::status::forbidden, request.version()};
  response.set(http::field::content_type, "application/json");
  const auto origin = request[http::field::origin];
  if (!origin.empty()) {
    response.set(http::field::access_control_allow_origin, origin);
    response.set(http::field::vary, "Origin");
  }
  response.body() = std::string(R"({"service":")") + kServiceName + R"(","refused":"other-user"})";
  response.keep_alive(false);
  response.prepare_payload();
  return response;
}

}  // namespace vaduna::connector
