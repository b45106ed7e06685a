// The limits of the connector's desktop side, each with its reason.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "vaduna_contract.h"

namespace vaduna::connector::desktop {

// The log file's size before it is moved aside as the previous one (one kept):
// a connector that runs for months uses at most twice this on disk.
inline constexpr std::uint64_t kLogFileCapBytes = 1024 * 1024;

// How long the user has to answer the dialog unless the page asks for another
// time, and the longest a page may ask for: a page waits that long at most.
inline constexpr std::chrono::seconds kDefaultConsentTimeout{contract::kConsentTimeoutSeconds};
inline constexpr std::chrono::seconds kMaxConsentTimeout{600};

// An origin denied without "Remember my decision" is not asked about again
// for this long: its further pages are denied at once, so a hostile site
// cannot keep the dialog coming back.
inline constexpr std::chrono::minutes kQuietAfterDeny{10};

// Origins waiting for the dialog at once (one shown, the others queued).
// Beyond this a page gets no dialog: a site that opens frames of many origins
// cannot queue dialogs without bound.
inline constexpr std::size_t kMaxWaitingOrigins = 8;

// The longest origin that is ever offered: longer ones are not real sites
// (a host name has at most 253 characters) and would not fit the dialog.
inline constexpr std::size_t kMaxOfferedOriginLength = 300;

// Remembered sites listed in the icon's menu; the rest are listed by
// --list-sites. Bounds the menu's command ids.
inline constexpr std::size_t kMaxMenuSites = 64;

// How long a second start waits for the running connector to publish its port.
inline constexpr std::chrono::seconds kRunningRecordWait{3};

}  // namespace vaduna::connector::desktop
