// End-to-end serving cases against the built server, in this folder's private Wine prefix.
//   node serving_test.mjs BUILD_DIR CASE
// Every wait is bounded; every process started here is ended by its pid.
import { existsSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

import {
  Client, WinePrefix, serverFile, allPassed, check, inRange, pause, run, runCase, runClient, startPageHost, waitFor,
} from "../../../tools/harness/index.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const [build, caseName] = process.argv.slice(2);
const prefix = new WinePrefix(path.join(build, "e2e-serving-prefix"));
const server = path.join(build, "bin", serverFile);

// Idle time-out (5 s) plus the pause after the message loop (1 s). The last release is seen from outside
// only when the client says so or ends: on a loaded machine that can be a second or more late, so the
// lower bound keeps a margin (the idle monitor's own tests pin the quiet period).
const [EXPECTED_LIFE, MIN_LIFE, MAX_LIFE] = [6, 4.0, 10.0];

async function noServerBefore() {
  await prefix.serverGone(15).catch(() => check(false, "a server of an earlier case is still running"));
}

// The server, once the last client has let go (now, or at time from), ends by itself after the quiet
// period and the pause; never sooner than the quiet period.
async function demandServerEndsByItself(from = Date.now()) {
  const waited = await prefix.serverGone(20, from).catch(() =>
    check(false, "the server was still running 20 s after the last release"));
  console.log(`server ended ${waited} s after the last release (expected about ${EXPECTED_LIFE} s)`);
  check(inRange(waited, MIN_LIFE, MAX_LIFE), `the server ended after ${waited} s, not between ${MIN_LIFE} and ${MAX_LIFE} s`);
}

async function clientPasses(script, options) {
  const result = await runClient(prefix, path.join(here, script), options);
  check(allPassed(result.text), "the client did not report all passed");
  return result;
}

// A road client against the page host on the shared page; the page unloads when told to stop.
async function road(context, script, options) {
  await noServerBefore();
  const page = await startPageHost(prefix, build, { log: path.join(context.work, "page.log") });
  await clientPasses(script, options);
  check(prefix.serverPids().length, "no server process");
  check((await page.stop()) === 0, `the page host failed: ${page.text()}`);
  return page;
}

const cases = {
  // Registration into this folder's prefix, shared by the cases below.
  async register() {
    const result = await prefix.run(server, ["/RegServer"]);
    check(result.code === 0, `/RegServer exited with status ${result.code}`);
  },

  async ends_after_last_release() {
    await noServerBefore();
    const result = await clientPasses("activate_client.vbs");
    check(result.sawServer, "no server process ran during the activation");
    await demandServerEndsByItself(result.doneAt);
  },

  async runs_without_client() {
    await noServerBefore();
    const started = prefix.start(server, ["-Embedding"]);
    await pause(8000);
    check(started.alive, "the server started without a client ended by itself");
    const pids = () => prefix.serverPids().join(" ");
    check(pids() === String(started.pid), `expected exactly the started server, found: ${pids()}`);
    // The waiting server serves the first client that comes, then ends by itself.
    const result = await clientPasses("activate_client.vbs");
    check(pids() === String(started.pid), "the client's activation did not reach the running server");
    await demandServerEndsByItself(result.doneAt);
  },

  async road_vbscript(context) {
    const page = await road(context, "road_client.vbs");
    check(/^page host stopped/m.test(page.text()), `the page host did not unload: ${page.text()}`);
    await demandServerEndsByItself();
  },

  async road_jscript(context) {
    const page = await road(context, "road_client.js");
    check(/^page host stopped/m.test(page.text()), `the page host did not unload: ${page.text()}`);
    await demandServerEndsByItself();
  },

  // A 32-bit client (as a 32-bit office macro is) drives the 64-bit server: the same road through the
  // 32-bit script host. Where the machine cannot run 32-bit programs, the case says why and is skipped.
  async road_vbscript_32bit(context) {
    await noServerBefore();
    const wine32 = await run("wine32", ["--version"], { env: prefix.env, timeoutMs: 60_000 })
      .catch((error) => ({ code: 127, stdout: "", stderr: error.message }));
    if (wine32.code !== 0) {
      console.log(`skipped: Wine's 32-bit loader cannot run here: ${(wine32.stdout + wine32.stderr).trim() || "no reason given"}`);
      console.log("(Debian: dpkg --add-architecture i386 && apt-get install wine32:i386; Linux kernels");
      console.log(" started with ia32_emulation=off cannot run 32-bit programs at all)");
      return 77;
    }
    if (!existsSync(path.join(prefix.folder, "drive_c/windows/syswow64/cscript.exe"))) {
      console.log(`skipped: the prefix ${prefix.folder} has no 32-bit script host; it was made before Wine's`);
      console.log("32-bit part was installed: remove it and run the tests again");
      return 77;
    }
    await road(context, "road_client.vbs", { loader: "wine32", host: "C:\\windows\\syswow64\\cscript.exe" });
    await demandServerEndsByItself();
  },

  // Two lines of a client once hung every later call and kept the server forever.
  async self_attach() {
    await noServerBefore();
    const result = await clientPasses("self_attach_client.vbs");
    await demandServerEndsByItself(result.doneAt);
  },

  // The page's process is ended by its pid while a client's InvokeMethod is inside the page: the call
  // fails, later calls fail clearly, and the server ends by itself once the client is gone.
  async page_killed_mid_call(context) {
    await noServerBefore();
    const page = await startPageHost(prefix, build, { log: path.join(context.work, "page.log") });
    const client = new Client(prefix, path.join(here, "slow_call_client.vbs"));
    await waitFor(() => page.text().includes("Slow("), { timeoutMs: 30_000, what: "the slow call's arrival" }).catch(() =>
      check(false, `the slow call never reached the page: ${page.text()}`));
    page.child.signal("SIGKILL");
    const result = await client.finish(30).catch(() =>
      check(false, "the client's call did not return within 30 s of the page's end"));
    const text = result.text.split("\n").filter((line) => line !== "calling").join("\n");
    console.log(text);
    check(allPassed(text), "the client did not report all passed");
    await demandServerEndsByItself(result.doneAt);
  },
};

await runCase(caseName, async (context) => {
  check(cases[caseName], `unknown case ${caseName}`);
  await prefix.readyFor(context, { keepWarm: true });
  return cases[caseName](context);
});
