// What the connector bench's echo local server (echo_server.cpp) and its
// caller (connector_bench.cpp) share. The class is the bench's own: the
// runner registers it in the bench's private prefix only.
#pragma once

#include <windows.h>

namespace bench {

// {67C93563-41E6-4500-9870-8ACB1B0FA742}
inline constexpr CLSID kEchoClsid = {0x67c93563, 0x41e6, 0x4500, {0x98, 0x70, 0x8a, 0xcb, 0x1b, 0x0f, 0xa7, 0x42}};
inline constexpr wchar_t kEchoClsidText[] = L"{67C93563-41E6-4500-9870-8ACB1B0FA742}";

// The one member: any name looks it up, and invoking it answers kEchoAnswer.
inline constexpr DISPID kEchoMemberId = 1;

// The bench page's service name: the echo answers the same string as the page.
inline constexpr wchar_t kEchoAnswer[] = L"Bench Service";

}  // namespace bench
