// Every limit of the connector, with its reason. Each is checked before
// the memory or time it bounds is spent.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vaduna::connector {

// The protocol's frame limit (16 MiB of UTF-8), both ways: a larger frame from
// a page closes its connection with 1009, and a call whose frame would be
// larger fails before it is built in full.
inline constexpr std::size_t kMaxFrameBytes = 16 * 1024 * 1024;

// Calls waiting for one page at once. Each holds a thread of a COM client
// blocked; beyond this the page is not keeping up, and a further call fails at
// once instead of adding to the queue.
inline constexpr std::size_t kMaxPendingCalls = 256;

// Arguments of one call: the server passes at most two; the limit keeps a
// client's call from building a huge argument list.
inline constexpr unsigned kMaxCallArguments = 64;

// Member names one page object keeps, and the length of one name in UTF-16
// units. A name lives as long as its object (its DISPID must stay stable), so
// a client that makes up names cannot grow the table without bound.
inline constexpr std::size_t kMaxMembersPerObject = 4096;
inline constexpr std::size_t kMaxMemberNameLength = 1024;

// Nesting of a page's JSON message: the deepest valid message (a reply with an
// error or a reference) has 3 levels; deeper text is refused while parsing.
inline constexpr unsigned kMaxJsonDepth = 8;

// The head of a plain HTTP request (status, preflight or WebSocket handshake).
inline constexpr std::uint32_t kMaxHttpHeaderBytes = 16 * 1024;

// WebSocket connections at once. One page is attached at a time; a few more
// may be connecting or replacing it. Further handshakes get 503.
inline constexpr std::size_t kMaxPageConnections = 16;

// Plain HTTP connections at once (status requests, preflights, handshakes not
// yet upgraded); a further one is closed as soon as it is accepted.
inline constexpr std::size_t kMaxHttpConnections = 16;

// How long a page may take from its WebSocket handshake to its hello; then
// it is closed with 1008, and its place among kMaxPageConnections is free.
inline constexpr std::chrono::seconds kHelloTimeout{10};

// Bytes of frames queued for one page and not yet written. A page that stops
// reading is closed with 1008 instead of growing the queue without bound.
inline constexpr std::size_t kMaxUnsentBytes = 4 * kMaxFrameBytes;

// How long a connection closed for overflowing its queue may take to finish
// its close; then the socket is closed outright.
inline constexpr std::chrono::seconds kStalledCloseGrace{5};

// After a failing accept the listener waits before trying again: the first
// delay, doubled on each further failure up to the cap.
inline constexpr std::chrono::milliseconds kAcceptRetryFirst{10};
inline constexpr std::chrono::milliseconds kAcceptRetryMax{1000};

// How long a client may take to send its HTTP request head.
inline constexpr std::chrono::seconds kHttpReadTimeout{30};

// Default time a call waits for the page's reply (--call-timeout).
inline constexpr unsigned kDefaultCallTimeoutSeconds = 30;
// Largest --call-timeout: a COM client thread is blocked that long at most.
inline constexpr unsigned kMaxCallTimeoutSeconds = 3600;

// How often the server holding the attached page is probed: a server that
// died is noticed, and replaced, within two of these.
inline constexpr std::chrono::milliseconds kServerCheckInterval{1000};

// How long the shutdown waits for the pages' sockets to finish closing.
inline constexpr std::chrono::seconds kShutdownGrace{3};

}  // namespace vaduna::connector
