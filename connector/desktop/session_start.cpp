#include "connector/desktop/session_start.h"

#include <memory>
#include <optional>

#include "connector/desktop/consent_dialog.h"
#include "connector/desktop/consent_prompt.h"
#include "connector/desktop/consenting_site.h"
#include "connector/desktop/desktop_limits.h"
#include "connector/desktop/notify_icon.h"
#include "connector/desktop/session_instance.h"
#include "connector/desktop/site_commands.h"
#include "connector/desktop/site_store.h"
#include "connector/start_up.h"

namespace vaduna::connector::desktop {

int RunInSession(const Options& options, Log& log, const SessionStart& start) {
  SiteStore sites(options.allowedOrigins);
  if (options.listSites) return ListSites(sites, start.out);
  if (!options.forgetSite.empty()) return ForgetSite(sites, options.forgetSite, start.out);
  if (options.forgetAllSites) return ForgetAllSites(sites, start.out);

  SessionInstance instance;
  const HRESULT claimed = instance.Claim();
  if (claimed == S_FALSE) {
    log.Write("already_running", {.message = DescribeRunning(SessionInstance::ReadRunning(InstanceNames{}, kRunningRecordWait)) +
                                            "; this start ends and changes nothing"});
    return 0;
  }
  if (FAILED(claimed)) {
    // Serving matters more than being the only one: go on, say why.
    log.Write("claim_failed", {.result = HexCode(claimed)});
  }

  std::unique_ptr<NotifyIcon> icon;
  if (start.notifyIcon) {
    NotifyIcon::Actions actions;
    actions.quit = [] { RequestStop(false); };
    actions.sessionEnding = [] { RequestStop(true); };
    actions.note = [&log](const std::string& line) { log.Write("desktop", {.message = line}); };
    icon = std::make_unique<NotifyIcon>(sites, start.logFile, std::move(actions));
  }

  // The user is asked about new sites unless the machine policy says not to (read again at each page).
  // Declared before the prompt: the prompt's last answers, at its end, still find it.
  std::optional<ConsentingSite> consenting;
  std::optional<ConsentPrompt> prompt;
  if (start.askUser) {
    prompt.emplace(sites, std::make_unique<ConsentDialog>(), [&log](const std::string& line) { log.Write("desktop", {.message = line}); });
  }

  StartUpHooks hooks;
  if (start.askUser) {
    hooks.mayAsk = [&sites](std::string_view origin) { return sites.Decide(origin) != SiteDecision::kRefuse; };
  }
  hooks.site = [&](Attachment& attachment) -> PageSite& {
    if (icon) {
      attachment.Watch([&icon](const std::string& origin) {
        if (origin.empty()) {
          icon->SetDetached();
        } else {
          icon->SetAttached(origin);
        }
      });
    }
    consenting.emplace(attachment, sites, prompt ? &*prompt : nullptr, log);
    return *consenting;
  };
  hooks.listening = [&](std::uint16_t port) {
    if (SUCCEEDED(claimed)) instance.Publish(port, start.logFile);
    if (icon) icon->SetListening(port);
  };
  hooks.cannotListen = [&](const std::string& reason) {
    if (icon) icon->SetLastError(reason);
  };
  const int exitCode = RunConnector(options, log, hooks);
  icon.reset();
  return exitCode;
}

}  // namespace vaduna::connector::desktop
