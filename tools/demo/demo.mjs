// The demo, the project's main job (tools/run-demo.sh builds, then runs this): registers the server in a
// Wine prefix of its own, serves the demo web application (web/demo/) on 127.0.0.1, starts the connector
// for that origin, opens the page in headless Chromium (--no-sandbox: as root it runs no other way; the
// page is our own, served from 127.0.0.1) or, with --browser firefox, in headless Firefox, waits until the page is attached, and runs the desktop
// VBScript client tools/demo/client.vbs against it. Then it shows what the page received, keeps a
// screenshot of the page in the output folder, lets the page leave, watches the server end by itself,
// stops the connector with Ctrl+C and ends every process it started (the prefix's wineserver at the end).
//   node tools/demo/demo.mjs BUILD_DIR [--browser chromium|firefox]
// Ports: the static server and the connector both take a free one, so the demo never meets a connector
// already running on the default port. Exit status 0 only when the client reported every check passed
// and every step after it went as shown.
import { mkdirSync, rmSync, writeFileSync, copyFileSync } from "node:fs";
import path from "node:path";

import {
  Failure, WinePrefix, allPassed, serverFile, check, root, runCase, runClient, startStack, waitFor, wineDiagnostics,
} from "../harness/index.mjs";

const [buildArg, browserFlag, browserArg] = process.argv.slice(2);
const browser = browserFlag === "--browser" ? browserArg : "chromium";
const browserName = { chromium: "Chromium", firefox: "Firefox" }[browser];
if (!browserName || (browserFlag !== undefined && browserFlag !== "--browser")) {
  console.error("usage: node tools/demo/demo.mjs BUILD_DIR [--browser chromium|firefox]");
  process.exit(2);
}
const build = path.resolve(buildArg ?? path.join(root, "build"));
const output = path.join(build, "demo-output");
const prefix = new WinePrefix(path.join(build, "demo-prefix"));
const step = (text) => console.log(`\n== ${text}`);
const show = (e) => `${e.event}${e.page ? ` (page ${e.page})` : ""}${e.origin ? ` from ${e.origin}` : ""}`;

await runCase("demo", async (context) => {
  step(`Preparing the Wine prefix ${prefix.folder}`);
  await prefix.readyFor(context);
  await prefix.serverGone(20).catch(() => check(false, "a server from an earlier run is still running"));
  rmSync(output, { recursive: true, force: true });
  mkdirSync(output, { recursive: true });
  console.log(`prefix ready; output folder ${output}`);

  step(`Registering the server: ${serverFile} /RegServer`);
  const registered = await prefix.run(path.join(build, "bin", serverFile), ["/RegServer"]);
  if (wineDiagnostics(registered.stderr)) console.error(wineDiagnostics(registered.stderr));
  check(registered.code === 0, `/RegServer exited with status ${registered.code}`);
  console.log("registered (exit code 0)");

  step(`Serving web/ on a free port, starting the connector for that origin, opening demo/index.html in ${browserName}`);
  const stack = await startStack({
    prefix, build, work: context.work, site: path.join(root, "web"), page: "demo/index.html", browser,
    browserArgs: browser === "chromium" ? ["--hide-scrollbars", "--window-size=1200,760"] : ["--window-size=1200,760"],
  });
  context.log = stack.log;
  console.log(`serving ${stack.origin}/; connector at ${stack.connector.url} (a free port, not the default one)`);
  console.log(`pages from ${stack.origin} may attach; every other origin is refused`);
  console.log(`page ${stack.pageUrl()}`);
  // Until the connector says attached, at most 90 s; a refusal, or the browser or the connector ending, fails at once.
  await waitFor(() => {
    const refusal = stack.log.first((e) => ["refused", "ended", "handshake_failed"].includes(e.event));
    check(!refusal, `the connector did not attach the page: ${JSON.stringify(refusal)}`);
    check(stack.browser.child.alive, `${browserName} ended before the page attached`);
    check(stack.connector.child.alive, "the connector ended before the page attached");
    return stack.log.first({ event: "attached" });
  }, { timeoutMs: 90_000, what: "the page's attachment" }).catch(async (error) => {
    if (error instanceof Failure) throw error;
    check(false, `the page did not attach within 90 s (the page says: ${JSON.stringify(
      await stack.browser.eval("[window.vadunaDemo.state, window.vadunaDemo.error]").catch((e) => e.message))})`);
  });
  const state = await stack.browser.eval("window.vadunaDemo.state");
  check(state === "attached", `the connector attached the page, but the page says ${state}`);
  console.log(await stack.browser.eval('"the page says: " + document.getElementById("state").textContent + ", " + ' +
    'document.getElementById("detail").textContent'));
  for (const e of stack.log.all((e) => ["connected", "hello", "attached"].includes(e.event))) console.log(`connector: ${show(e)}`);
  console.log(`server process started by the page's attachment: pid ${prefix.serverPids().join(" ")}`);

  step("Running the desktop client: cscript tools/demo/client.vbs (64-bit)");
  const client = await runClient(prefix, path.join(root, "tools/demo/client.vbs"), { limitSeconds: 300 });
  writeFileSync(path.join(output, "client-transcript.txt"), client.text + "\n");
  const summary = client.text.split("\n").at(-1);
  check(!client.timedOut, "the client did not finish within 300 s");
  check(allPassed(summary), "the client did not finish with all checks passed");

  step(`What the page received (window.vadunaDemo.calls, read through ${browser === "chromium" ? "DevTools" : "WebDriver BiDi"})`);
  // One line per call: number, time, service, method, input properties, result.
  const calls = await stack.browser.eval(`window.vadunaDemo.calls.map((call, i) => {
    const input = Object.entries(call.input).map(([name, value]) => name + "=" + value).join(", ");
    const mark = call.ok === true ? "ok  " : call.ok === false ? "FAIL" : "... ";
    return String(i + 1).padStart(2) + ". " + call.time + "  " + mark + "  " + call.service + "  " + call.method +
      "  (" + (input || "no input") + ")\\n      -> " + call.result.replace(/\\n/g, "\\n         ");
  }).join("\\n")`);
  writeFileSync(path.join(output, "page-calls.txt"), calls + "\n");
  console.log(calls);

  step("Keeping a screenshot of the page");
  await stack.browser.screenshot(path.join(output, "demo-page.png"));
  console.log(path.join(output, "demo-page.png"));

  step("Closing the page: it leaves, the connector detaches it from the server");
  await stack.browser.navigate("about:blank");
  await stack.log.waitFor({ event: "detached" }, 30, "detach of the page");
  const left = Date.now();
  for (const e of stack.log.all((e) => ["leave", "detached"].includes(e.event))) console.log(`connector: ${show(e)}`);
  await stack.browser.stop();
  console.log(`${browserName} ended`);

  step("Waiting for the server to end by itself (5 s idle, then a 1 s pause)");
  const waited = await prefix.serverGone(30, left).catch(() => check(false, "the server was still running 30 s after the page left"));
  console.log(`the server ended by itself ${waited} s after the page left`);

  step(`Stopping the connector with Ctrl+C (SIGINT to ${stack.connector.child.pid})`);
  await stack.connector.stop();
  for (const e of stack.log.events().slice(-2)) console.log(`connector: ${show(e)}`);
  copyFileSync(stack.log.file, path.join(output, "connector.log"));

  step("Ending the rest: the static server, the prefix's wineserver");
  await stack.web.child.stop();
  await prefix.end();
  check(prefix.serverPids().length === 0, `processes still running: ${prefix.serverPids()}`);
  console.log("nothing of the demo runs any more");

  step(`Demo finished: ${summary}`);
  console.log(`output folder: ${output}`);
  for (const [what, file] of [["screenshot", "demo-page.png"], ["transcript", "client-transcript.txt"],
    ["page calls", "page-calls.txt"], ["connector", "connector.log (JSON, one event a line)"]]) {
    console.log(`  ${(what + ":").padEnd(12)} ${path.join(output, file)}`);
  }
});
