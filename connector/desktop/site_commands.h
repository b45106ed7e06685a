// The command line's work on the remembered sites, for the option parser:
//   --list-sites           ListSites
//   --forget-site ORIGIN   ForgetSite
//   --forget-all-sites     ForgetAllSites
// Each writes its answer to out and returns the process's exit code: 0 done
// (also when there was nothing to forget), 1 the registry failed, 2 a value
// that is not an origin.
#pragma once

#include <cstdio>
#include <string_view>

#include "connector/desktop/site_store.h"

namespace vaduna::connector::desktop {

// The administrator's origins, the user's remembered answers and whether the
// machine policy allows the dialog.
int ListSites(const SiteStore& store, std::FILE* out);

// Forgets the remembered answer for value (an origin as --allow-origin takes
// it) and says which answer that was, so that the site is asked about again.
int ForgetSite(SiteStore& store, std::string_view value, std::FILE* out);

// Forgets every remembered answer: what uninstalling does for the user who uninstalls.
int ForgetAllSites(SiteStore& store, std::FILE* out);

}  // namespace vaduna::connector::desktop
