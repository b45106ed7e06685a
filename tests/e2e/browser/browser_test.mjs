// The browser end-to-end cases: a web page in headless Chromium or Firefox attaches to the real server
// (registered once in this folder's Wine prefix by the case "register") through the connector, and
// VBScript clients call it through the server.
//   node browser_test.mjs BUILD_DIR CASE [chromium|firefox]
// Ports are free ones (never the connector's range, but in port_range, which skips when the range is
// busy); every wait is bounded; every process started here is ended by its pid, and the prefix's
// wineserver by the case "end".
import { writeFileSync } from "node:fs";
import { createServer as createHttpServer } from "node:http";
import { createServer } from "node:net";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { contract } from "../../../tools/contract.mjs";

import {
  Client, WinePrefix, browsers, serverFile, allPassed, check, inRange, pause, run, runCase, runClient, makeSite,
  startStack, winPath,
} from "../../../tools/harness/index.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const [build, caseName, browser = "chromium"] = process.argv.slice(2);
const prefix = new WinePrefix(path.join(build, "e2e-browser-prefix"));
const server = path.join(build, "bin", serverFile);
const ATTACHED = 'window.vadunaTest?.state === "attached"';

// The value of expression f of the page's record t (window.vadunaTest).
const pageValue = (stack, f) => stack.browser.eval(`(t => ${f})(window.vadunaTest)`);

async function noServerBefore() {
  await prefix.serverGone(15).catch(() => check(false, "a server of an earlier case is still running"));
}

// Static server, connector allowing the page's origin (extra arguments), the browser on the test page, and
// the page attached (page 1 in the connector's log).
async function start(context, extra = [], allowed, more = {}) {
  const site = makeSite(context.work, [[path.join(here, "index.html")], [path.join(here, "page.js")]]);
  const stack = await startStack({
    prefix, build, work: context.work, site, browser,
    connectorArgs: (origin) => ["--allow-origin", allowed ?? origin, ...extra],
    ...more,
  });
  context.log = stack.log;
  return stack;
}

async function attach(context, extra) {
  const stack = await start(context, extra);
  await stack.log.waitFor({ event: "attached", page: 1 }, 120, "attach of page 1");
  check(await stack.browser.wait(ATTACHED, 30), "the page does not report itself attached");
  return stack;
}

async function attachedStatus(stack) {
  return (await stack.connector.status())?.attached;
}

// The page leaves (pagehide closes its link): the connector detaches page n. Returns when the connector
// let go of the server's object (its "detached" event).
async function leavePage(stack, n) {
  await stack.browser.navigate("about:blank");
  await stack.log.waitFor({ event: "detached", page: n }, 30, `detach of page ${n}`);
  return stack.log.timeOf({ event: "detached", page: n });
}

// The server ends by itself once the last client or page let go at time from: its idle monitor waits
// 5 s, then it pauses 1 s. Not before 3 s (an end sooner is no idle end but, say, a crash; the margin is
// for a time stamp taken late on a loaded machine), and at most 12 s.
async function demandServerEnds(from) {
  const waited = await prefix.serverGone(20, from).catch(() =>
    check(false, "the server was still running 20 s after the last one let go"));
  console.log(`the server ended ${waited} s after the last client or page let go (expected about 6 s)`);
  check(inRange(waited, 3, 12), `the server ended ${waited} s after the last one let go, not between 3 and 12 s`);
}

// Windows forgets the class registrations of a server that died; Wine 8's COM runtime keeps them (its
// rpcss reaps dead publishers only in later versions), so every activation would reach the dead server
// until the prefix's processes restart. Stopping the prefix's RpcSs service does the forgetting here:
// the next activation starts it again, empty.
async function forgetDeadServer() {
  const result = await prefix.run("net", ["stop", "rpcss"], { timeoutMs: 10_000 });
  console.log(`net stop rpcss: ${result.code} ${result.stdout.trim()}`);
}

async function clientPasses(script) {
  const result = await runClient(prefix, path.join(here, script));
  check(allPassed(result.text), "the client did not report all passed");
  return result;
}

const cases = {
  async register() {
    const result = await prefix.run(server, ["/RegServer"]);
    check(result.code === 0, `/RegServer exited with status ${result.code}`);
  },

  // Services, property sets, InvokeMethod of async members, errors, text beyond ASCII; the page leaves
  // and the server ends by itself; Ctrl+C ends the connector.
  async smoke(context) {
    await noServerBefore();
    const stack = await attach(context);
    console.log(`connector at ${stack.connector.url}, page served from ${stack.origin}`);
    check((await attachedStatus(stack)) === true, "/status does not report the page attached");
    await clientPasses("client.vbs");
    // The server's GetService calls, and how often the page ran Fail (the False of InvokeMethod("Fail")
    // came from the page's exception, not from a call that never arrived).
    const record = JSON.stringify(await pageValue(stack, '[t.calls.join(","), t.methods.filter((m) => m === "Fail").length]'));
    check(record === '["GetService Text Service,GetService Text Service,GetService Payroll Service,GetService Zürich 東京",1]',
      `the page recorded other calls: ${record}`);
    const left = await leavePage(stack, 1);
    // Firefox closes the page's WebSocket (1001, going away) as the page unloads, before the detach that the
    // page sends in pagehide goes out; the connector detaches it all the same.
    check(stack.log.first(browser === "chromium" ? { event: "leave", page: 1 }
      : (e) => e.event === "ended" && e.page === 1 && e.message.includes("(1001)")), "the page did not say detach");
    await demandServerEnds(left);
    await stack.connector.stop();
  },

  // The page reloads while a client holds its objects but no call runs: the connector detaches the old
  // page, then attaches the new one to the same server; the client's next GetService reaches the new
  // page, the old page's objects fail clearly.
  async reload_idle(context) {
    await noServerBefore();
    const stack = await attach(context);
    const go = path.join(context.work, "go");
    const client = new Client(prefix, path.join(here, "reload_client.vbs"), [winPath(go)]);
    await client.line(/^waiting$/m, 120);
    const before = prefix.serverPids().join(" ");
    check(before, "no server runs for the client");
    await stack.browser.reload();
    await stack.log.waitFor({ event: "attached", page: 2 }, 120, "attach of the reloaded page");
    const detachedAt = stack.log.indexOf({ event: "detached", page: 1 });
    check(detachedAt >= 0 && detachedAt < stack.log.indexOf({ event: "attached", page: 2 }),
      "the connector did not detach the old page before it attached the new one");
    check(!stack.log.first({ event: "replaced" }), "the new page replaced the old one instead");
    check(await stack.browser.wait(ATTACHED, 30), "the reloaded page does not report itself attached");
    check(prefix.serverPids().join(" ") === before, `the server process changed over the reload: ${prefix.serverPids()}`);
    writeFileSync(go, "");
    const result = await client.finish(150);
    console.log(result.text);
    check(allPassed(result.text), "the client did not report all passed");
    const calls = await pageValue(stack, 't.calls.join(",")');
    check(calls === "GetService Text Service,GetService Text Service", `the reloaded page recorded other calls: ${calls}`);
    await demandServerEnds(await leavePage(stack, 2));
  },

  // The page is closed while a client's InvokeMethod waits in it: the call fails within a few seconds
  // with the recorded error, and the server ends by itself once the client is gone.
  async closed_mid_call(context) {
    await noServerBefore();
    const stack = await attach(context);
    const client = new Client(prefix, path.join(here, "mid_call_client.vbs"));
    await stack.browser.wait('window.vadunaTest.running > 0 && window.vadunaTest.methods.includes("Later")', 120);
    check(prefix.serverPids().length, "no server runs for the client's call");
    const closedAt = await stack.browser.close();
    const [line] = await client.line(/^returned after [0-9]+ ms$/m, 30);
    const took = Math.round((Date.now() - closedAt) / 100) / 10;
    console.log(`the client's call failed ${took} s after the page was closed (${line})`);
    check(inRange(took, 0, 10), `the client's call failed only ${took} s after the page was closed`);
    const result = await client.finish(120);
    console.log(result.text);
    check(allPassed(result.text), "the client did not report all passed");
    await stack.log.waitFor({ event: "detached", page: 1 }, 30, "detach of the closed page");
    await demandServerEnds(result.doneAt);
  },

  // The server is killed while the page is attached: the connector notices, starts a new server and
  // attaches the page to it, which the page hears (server-lost, reattached); a client started 3 s after
  // the kill is served, without a reload, within 10 s of it.
  async server_killed(context) {
    await noServerBefore();
    const stack = await attach(context);
    const [pid] = prefix.serverPids();
    check(pid, "no server runs for the attached page");
    process.kill(pid, "SIGKILL");
    const killedAt = Date.now();
    await forgetDeadServer();
    await pause(Math.max(0, killedAt + 3000 - Date.now()));
    const result = await runClient(prefix, path.join(here, "call_client.vbs"), { limitSeconds: 60 });
    const took = Math.round((result.doneAt - killedAt) / 100) / 10;
    console.log(`a client started 3 s after the kill was served ${took} s after it`);
    check(allPassed(result.text), "the client was not served after the kill");
    check(took <= 10, `the client was served only ${took} s after the kill`);
    await stack.log.waitFor({ event: "reattached", page: 1 }, 10, "the page's re-attachment");
    check(stack.log.first({ event: "server_lost", page: 1 }), "the connector did not log the lost server");
    const statuses = await stack.browser.wait(`(t => t.statuses.includes("reattached") && t.statuses.join(","))(window.vadunaTest)`, 10)
      .catch(() => check(false, "the page did not hear of its re-attachment"));
    check(statuses === "server-lost,reattached", `the page heard ${statuses}`);
    check(!prefix.serverPids().includes(pid), "the killed server still runs");
    await demandServerEnds(await leavePage(stack, 1));
    await stack.connector.stop();
  },

  // Another link of the site (a second tab's) says hello and goes while the server takes it, five times:
  // each leaves the attached page attached, untold and serving.
  async failed_second_tab(context) {
    await noServerBefore();
    const stack = await attach(context);
    const hello = JSON.stringify({ op: "hello", v: contract.connector.protocolVersion, app: { $: "ref", id: 1 } });
    await stack.browser.eval(`(async () => {
      for (let i = 0; i < 5; i++) {
        await new Promise((resolve) => {
          const socket = new WebSocket("${stack.connector.url}");
          socket.onopen = () => { socket.send('${hello}'); socket.close(); };
          socket.onclose = resolve;
        });
      }
    })()`);
    await stack.log.waitFor((e) => e.event === "ended" && e.page === 6, 30, "the end of the fifth link");
    check(!stack.log.first((e) => e.event === "replaced" || (e.event === "detached" && e.page === 1)),
      "a link that went replaced the attached page");
    check((await attachedStatus(stack)) === true, "/status does not report the page attached");
    const page = JSON.stringify(await pageValue(stack, "[t.state, t.statuses]"));
    check(page === '["attached",[]]', `the attached page heard of the other links: ${page}`);
    await clientPasses("call_client.vbs");
    await demandServerEnds(await leavePage(stack, 1));
    await stack.connector.stop();
  },

  // A page member that never answers, and one that answers too late, against --call-timeout 3: each call
  // fails after about 3 s, the connector logs the time-out, and the page stays attached and usable.
  async call_timeout(context) {
    await noServerBefore();
    const stack = await attach(context, ["--call-timeout", "3"]);
    const { text } = await clientPasses("timeout_client.vbs");
    for (const method of ["Never", "Fresh"]) {
      const ms = Number(text.match(new RegExp(`^${method} returned after ([0-9]+) ms$`, "m"))?.[1]);
      check(ms, `the client did not time ${method}`);
      check(inRange(ms, 2900, 10000), `${method} returned after ${ms} ms, not after about the 3 s time-out`);
    }
    check(stack.log.all({ event: "timed_out", page: 1, member: "InvokeMethod" }).length === 2,
      "the connector did not log both time-outs");
    await stack.log.waitFor({ event: "late_reply", page: 1 }, 10, "late reply");
    check((await attachedStatus(stack)) === true, "/status does not report the page attached after the time-outs");
    // Once the client is gone the connector holds only the page's application object: the late reply's
    // set, and every other object the client used, were released.
    await stack.browser.wait('window.vadunaTest.state === "attached" && window.vadunaTest.objects() === 1', 30).catch(async () =>
      check(false, `the page, ${await pageValue(stack, "t?.state")}, still exports ${await pageValue(stack, "t.objects()")} objects`));
    await demandServerEnds(await leavePage(stack, 1));
  },

  // connect() in the browser rejects with the code that tells the page why: "origin-refused" from a
  // connector that allows another origin, "not-running" for a port where nothing listens.
  async connect_refused(context) {
    const stack = await start(context, [], "http://127.0.0.1:1");
    const origin = stack.origin;
    let outcome = await stack.browser.wait(`window.vadunaTest?.state === 'failed' &&
      [vadunaTest.error.code, vadunaTest.error.message.includes('--allow-origin ${origin}')]`, 60);
    check(JSON.stringify(outcome) === '["origin-refused",true]', `a refused origin gave ${JSON.stringify(outcome)}`);
    await stack.log.waitFor((e) => e.event === "refused" &&
      e.message.startsWith(`the status for a page from ${origin}, which is not allowed`), 10, "refusal");
    check(!stack.log.first({ event: "connected" }), "a refused page got a connection");

    const free = await new Promise((resolve) => {
      const probe = createServer().listen(0, "127.0.0.1", () => {
        const { port } = probe.address();
        probe.close(() => resolve(port));
      });
    });
    await stack.browser.navigate(stack.pageUrl(`ws://127.0.0.1:${free}/`));
    outcome = await stack.browser.wait(`location.search.includes('${free}') && window.vadunaTest?.state === 'failed' &&
      [vadunaTest.error.code, vadunaTest.error.message.includes('ws://127.0.0.1:${free}/')]`, 60);
    check(JSON.stringify(outcome) === '["not-running",true]', `a port where nothing listens gave ${JSON.stringify(outcome)}`);
    check(prefix.serverPids().length === 0, "a server was started although no page attached");
    await stack.connector.stop();
  },

  // Malformed, oversized and out-of-protocol frames and foreign handshakes, one connection each: each
  // closes only its own connection, while the page attached in the browser keeps working.
  async hostile_client(context) {
    await noServerBefore();
    const stack = await attach(context);
    const hostile = await run("node", [path.join(here, "hostile_client.mjs"), String(stack.connector.port), stack.origin]);
    process.stdout.write(hostile.stdout);
    process.stderr.write(hostile.stderr);
    check(hostile.code === 0, "the connector answered a hostile client wrongly");
    check(!stack.log.first((e) => e.page === 1 && (e.event === "ended" || e.event === "detached")),
      "the hostile connections ended the attached page");
    // The refusal of origin "null" must not advise --allow-origin null, which the connector refuses.
    check(!stack.log.text().includes("--allow-origin null"), "the log advises --allow-origin null");
    check((await attachedStatus(stack)) === true, "/status does not report the page attached after the hostile client");
    check((await pageValue(stack, "t?.state")) === "attached", "the page does not report itself attached");
    await clientPasses("call_client.vbs");
    await demandServerEnds(await leavePage(stack, 1));
    await stack.connector.stop();
  },
  // Another user's connector holds the range's first port: a connector started without --port takes the
  // next one and says so, and connect() without a url passes the other user's and attaches to it. With
  // no connector of this user, connect() fails naming every port it tried.
  async port_range(context) {
    const { defaultPort: first, portCount, statusService } = contract.connector;
    const other = await listen(first, (request, answer) => {
      const origin = request.headers.origin ?? "*";
      answer.writeHead(403, { "Content-Type": "application/json", "Access-Control-Allow-Origin": origin });
      answer.end(JSON.stringify({ service: statusService, refused: "other-user" }));
    });
    const next = other && (await listen(first + 1));
    if (!next) {
      console.log(`skipped: port ${other ? first + 1 : first} of the connectors' range is busy on this machine`);
      other?.close();
      return 77;
    }
    await new Promise((resolve) => next.close(resolve));
    context.cleanups.push(() => other.close());
    await noServerBefore();
    const stack = await start(context, [], undefined, { port: null, browser: null });
    check(stack.connector.port === first + 1, `the connector listens on ${stack.connector.port}, not on ${first + 1}`);
    check(stack.log.first({ event: "port_taken", port: first }), "the connector did not say the first port was taken");
    stack.browser = await browsers[browser].start({ folder: context.work, url: `${stack.origin}/index.html` });
    console.log(`browser: ${stack.browser.version}`);
    await stack.log.waitFor({ event: "attached", page: 1 }, 120, "attach of the page that searched the range");
    check(await stack.browser.wait(ATTACHED, 30), "the page does not report itself attached");
    await demandServerEnds(await leavePage(stack, 1));
    await stack.connector.stop();

    await stack.browser.navigate(`${stack.origin}/index.html`);
    const ports = Array.from({ length: portCount }, (_, i) => first + i).join(", ");
    const outcome = await stack.browser.wait(`window.vadunaTest?.state === 'failed' &&
      [vadunaTest.error.code, vadunaTest.error.message]`, 60);
    console.log(`without a connector of this user: ${JSON.stringify(outcome)}`);
    check(outcome[0] === "not-running" && outcome[1].includes(`ports ${ports}`) &&
      outcome[1].includes(`another user's connector on ${first}`), `the failure does not name the ports tried`);
  },
};

// An HTTP server on 127.0.0.1:port (answering with answer), or null when the port is busy.
function listen(port, answer = (request, response) => response.end()) {
  return new Promise((resolve) => {
    const server = createHttpServer(answer);
    server.once("error", () => resolve(null));
    server.listen(port, "127.0.0.1", () => resolve(server));
  });
}

if (caseName === "end") {
  // The fixture's clean-up: the prefix's wineserver and the services it started end with the cases.
  await prefix.end();
  process.exit(0);
}
await runCase(browser === "chromium" ? caseName : `${browser}_${caseName}`, async (context) => {
  check(cases[caseName], `unknown case ${caseName}`);
  check(["chromium", "firefox"].includes(browser), `unknown browser ${browser}`);
  await prefix.readyFor(context, { keepWarm: true });
  return cases[caseName](context);
});
