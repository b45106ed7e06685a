#include "connector/desktop/site_commands.h"

#include <optional>
#include <string>

#include "connector/log.h"
#include "connector/options.h"
#include "connector/utf.h"
#include "vaduna_contract.h"

namespace vaduna::connector::desktop {

int ListSites(const SiteStore& store, std::FILE* out) {
  std::string text;
  if (store.administratorOrigins().empty()) {
    text += "No site is allowed by the administrator.\n";
  } else {
    text += "Allowed by the administrator:\n";
    for (const std::string& origin : store.administratorOrigins()) text += "  " + origin + "\n";
  }
  const std::vector<RememberedSite> sites = store.List();
  if (sites.empty()) {
    text += "No remembered answer of this user.\n";
  } else {
    text += "Remembered answers of this user:\n";
    for (const RememberedSite& site : sites) text += (site.allowed ? "  allow " : "  deny  ") + site.origin + "\n";
  }
  text += store.PromptsAllowed()
              ? "A site that is not listed is asked about when its page connects.\n"
              : "The machine policy " + ToUtf8(contract::kPromptPolicyValue) +
                    " = 0 turns the dialog off: only the administrator's sites may attach.\n";
  std::fputs(text.c_str(), out);
  return 0;
}

int ForgetSite(SiteStore& store, std::string_view value, std::FILE* out) {
  const std::optional<std::string> origin = NormaliseOrigin(value);
  if (!origin) {
    std::fprintf(out,
                 "--forget-site %.*s: not an origin; write scheme://host[:port], for example https://example.com\n",
                 static_cast<int>(value.size()), value.data());
    return 2;
  }
  bool allowed = false;
  const HRESULT forgotten = store.Forget(*origin, &allowed);
  if (FAILED(forgotten)) {
    std::fprintf(out, "could not forget %s: the registry answered %s\n", origin->c_str(), HexCode(forgotten).c_str());
    return 1;
  }
  if (forgotten == S_FALSE) {
    std::fprintf(out, "no answer was remembered for %s\n", origin->c_str());
  } else {
    std::fprintf(out, "forgot %s (it was %s): its next page is asked about again\n", origin->c_str(),
                 allowed ? "allowed" : "denied");
  }
  return 0;
}

int ForgetAllSites(SiteStore& store, std::FILE* out) {
  const HRESULT forgotten = store.ForgetAll();
  if (FAILED(forgotten)) {
    std::fprintf(out, "could not forget the remembered sites: the registry answered %s\n", HexCode(forgotten).c_str());
    return 1;
  }
  std::fputs(forgotten == S_FALSE ? "no answer was remembered\n" : "forgot every remembered answer\n", out);
  return 0;
}

}  // namespace vaduna::connector::desktop
