// The desktop user decides which sites may attach, end to end: the windowless connector under Wine on a
// virtual X display (run by xvfb-run), a page in headless Chromium from a new loopback origin, and the
// window driver as the user who reads the dialog and answers it.
//   xvfb-run node consent_test.mjs BUILD_DIR
// One case in steps, each on what the one before left: a Deny (remembered) of two pages of the origin
// asked in one dialog; --forget-site, then an Allow; a restarted connector attaches the remembered site
// without a dialog; with the machine policy that turns asking off an unknown site is refused unasked.
import { existsSync, readdirSync, rmSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { contract } from "../../../tools/contract.mjs";
import {
  ConnectorLog, WinePrefix, browsers, check, makeSite, runCase, serverFile, startStaticServer, waitFor,
} from "../../../tools/harness/index.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const [build] = process.argv.slice(2);
const bin = (file) => path.join(build, "bin", file);
// Its wineserver must start under this run's display: the prefix is this test's alone.
const prefix = new WinePrefix(path.join(build, "e2e-desktop-consent-prefix"));
const IDYES = 6;
const IDNO = 7;
const title = contract.desktop.consentDialogTitle;

// The windowless connector's log file in the prefix's user folder (Wine names the user as Linux does).
function logFile() {
  const users = path.join(prefix.folder, "drive_c/users");
  const parts = contract.desktop.logFile.split("\\");
  for (const user of readdirSync(users)) {
    const local = path.join(users, user, "AppData/Local");
    if (existsSync(local)) return path.join(local, ...parts);
  }
  throw new Error(`no AppData\\Local under ${users}`);
}

// The windowless connector on a free port with its log as JSON events; a log left by an earlier start goes.
async function startConnector() {
  rmSync(logFile(), { force: true });
  const child = prefix.start(bin(`${contract.connectorWindowlessExecutable}.exe`), ["--port", "0", "--log-format", "json"], {
    name: "windowless connector",
  });
  const log = new ConnectorLog(logFile());
  const { port } = await log.waitFor({ event: "listening" }, 60, "listening");
  return { child, log, url: `ws://127.0.0.1:${port}/` };
}

// The user: waits for the dialog (at most seconds), reads it, then the driver's options (a button to press).
async function driver(seconds, options = []) {
  const result = await prefix.run(bin("vaduna_window_driver.exe"), ["--title", title, "--wait-ms", String(seconds * 1000), ...options],
    { timeoutMs: (seconds + 30) * 1000 });
  return JSON.parse(result.stdout.trim().split("\n").pop());
}

async function siteCommand(...args) {
  const result = await prefix.run(bin(`${contract.connectorExecutable}.exe`), args);
  check(result.code === 0, `${args.join(" ")} exited with ${result.code}: ${result.stderr}`);
  return result.stdout;
}

// The page's outcome once it has one: "attached", or the code of its failed connect().
const outcome = (browser) =>
  browser.wait(`(t => t && (t.state === "attached" ? "attached" : t.state === "failed" && t.error.code))(window.vadunaTest)`, 90);

await runCase("consent", async (context) => {
  // Made anew: an earlier run left its sites and the machine policy in the registry, and its wineserver
  // held no display, or one that has gone.
  await prefix.fresh();
  context.cleanups.push(() => prefix.end());
  check((await prefix.run(bin(serverFile), ["/RegServer"])).code === 0, "/RegServer failed");

  const site = makeSite(context.work, [[path.join(here, "../browser/index.html")], [path.join(here, "../browser/page.js")]]);
  const web = await startStaticServer(context.work, site);
  const origin = web.origin;
  let connector = await startConnector();
  context.log = connector.log;
  const pageUrl = () => `${origin}/index.html?bridge=${connector.url}`;
  const browser = await browsers.chromium.start({ folder: context.work, url: pageUrl() });

  // Deny, remembered: one dialog for the page and a second link of its origin, both refused.
  await connector.log.waitFor({ event: "asking_user", page: 1 }, 60, "question about page 1");
  await browser.eval(`import("./vaduna-page.js").then((m) => m.connect({ Name: () => "second" }, { url: "${connector.url}" }))
    .then(() => { window.second = "attached"; }, (e) => { window.second = e.code; }), 0`);
  await waitFor(() => connector.log.first({ event: "hello", page: 2 }), { timeoutMs: 30_000, what: "the second link's hello" });
  const denied = await driver(30, ["--press", String(IDNO)]);
  check(denied.found && denied.count === 1, `not one dialog: ${JSON.stringify(denied)}`);
  const text = denied.controls.map((c) => c.text).join(" | ");
  check(text.includes(origin), `the dialog does not name ${origin}: ${text}`);
  check(denied.controls.some((c) => c.kind === "check" && c.checked), "Remember my decision is not checked");
  check((await outcome(browser)) === "consent-denied", "the page was not refused with consent-denied");
  check((await browser.wait("window.second", 30)) === "consent-denied", "the second link was not refused");
  check((await siteCommand("--list-sites")).includes(origin), "--list-sites does not list the denied site");

  // Forgotten, the site is asked about again; Allow attaches it.
  await siteCommand("--forget-site", origin);
  await browser.navigate(pageUrl());
  const allowed = await driver(60, ["--press", String(IDYES)]);
  check(allowed.found && allowed.count === 1, `no dialog after --forget-site: ${JSON.stringify(allowed)}`);
  check((await outcome(browser)) === "attached", "the allowed page did not attach");

  // Remembered across a restart: attached without a dialog.
  await connector.child.stop("SIGKILL");
  connector = await startConnector();
  context.log = connector.log;
  await browser.navigate(pageUrl());
  check((await outcome(browser)) === "attached", "the remembered site did not attach after the restart");
  check(!connector.log.first({ event: "asking_user" }), "the remembered site was asked about again");

  // The machine's policy turns the dialog off: a site not yet allowed is refused unasked.
  const policy = `HKLM\\${contract.desktop.policyKey}`;
  const set = await prefix.run("reg", ["add", policy, "/v", contract.desktop.promptPolicyValue, "/t", "REG_DWORD", "/d", "0", "/f"]);
  check(set.code === 0, `reg add ${policy} failed: ${set.stderr}`);
  await siteCommand("--forget-site", origin);
  await browser.navigate(pageUrl());
  check((await outcome(browser)) === "origin-refused", "with the policy the page was not refused with origin-refused");
  check(!(await driver(3)).found, "a dialog opened although the policy turns it off");
  check(!connector.log.first({ event: "asking_user" }), "the connector asked although the policy turns it off");
  await connector.child.stop("SIGKILL");
});
