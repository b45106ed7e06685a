// UTF-16 (COM's strings) to and from UTF-8 (the wire's). Lengths are explicit,
// so embedded NULs pass both ways. Text goes out well-formed: a lone surrogate
// becomes U+FFFD, as the page library does with the page's strings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vaduna::connector {

// Bytes that ToUtf8 makes of text, counted without allocating.
std::size_t Utf8Length(std::wstring_view text) noexcept;

// Throws std::bad_alloc.
std::string ToUtf8(std::wstring_view text);

// Text from the wire is valid UTF-8 (Beast and Boost.JSON check it); any
// invalid sequence still becomes U+FFFD rather than being passed on.
std::wstring FromUtf8(std::string_view text);

}  // namespace vaduna::connector
