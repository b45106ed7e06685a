// The connector bench (BENCHMARKS.md): the cost of a client call through the connector as a ratio to its
// floors measured in the same run, and the memory of the connector and of the page before and after
// 100,000 calls.
//   node bench/run-connector-bench.mjs BUILD_DIR [ITERATIONS] [LOAD_CALLS]   (defaults 2000 and 100000)
// It registers the server and the bench's echo local server in a prefix of its own
// (build/bench-connector-prefix), serves the bench page (bench/connector-page/ with web/vaduna-page.js),
// starts the connector for that origin and headless Chromium on the page, all on free ports; then runs
// vaduna_connector_bench (measure, then load in steps with the memory read between them). The figures are
// kept in build/bench-connector-output/.
// VADUNA_BENCH_THREADS (default 4) client threads make the load; VADUNA_BENCH_VERBOSE=1 starts the
// connector with --verbose (a log line per call: for looking into where the time goes, not for the figures).
import { appendFileSync, copyFileSync, mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { cpus, loadavg, totalmem } from "node:os";
import path from "node:path";

import {
  WinePrefix, check, makeSite, root, run, runCase, serverFile, startStack, waitFor, winPath, wineDiagnostics,
} from "../tools/harness/index.mjs";

const [buildArgument, iterationsText = "2000", loadText = "100000"] = process.argv.slice(2);
const build = path.resolve(buildArgument ?? path.join(root, "build"));
const [ITERATIONS, LOAD_CALLS, LOAD_STEPS, WARMUP_CALLS] = [Number(iterationsText), Number(loadText), 5, 2000];
const THREADS = process.env.VADUNA_BENCH_THREADS ?? "4";
const output = path.join(build, "bench-connector-output");
const prefix = new WinePrefix(path.join(build, "bench-connector-prefix"));
const benchExe = path.join(build, "bin", "vaduna_connector_bench.exe");
const step = (text) => console.log(`\n== ${text}`);
const tee = (file, text) => {
  appendFileSync(path.join(output, file), text + "\n");
  console.log(text);
};
const load = () => loadavg().map((v) => v.toFixed(2)).join(" ");

async function bench(args, options) {
  const result = await prefix.run(benchExe, args, { timeoutMs: 3_600_000, ...options });
  if (wineDiagnostics(result.stderr)) console.error(wineDiagnostics(result.stderr));
  return result;
}

// Where the time of a call goes: the medians of the measurement and the page's own share of a call (mean:
// the page's clock is coarse unless the page is cross-origin isolated). What is left is the server's
// forwarding and the connector's own work; the hand-over probe is printed as a part of it.
function breakdown(measure, share) {
  const medians = Object.fromEntries(measure.split("\n").filter((l) => l.startsWith("median "))
    .map((l) => l.split(" ").slice(1)).map(([k, v]) => [k, Number(v)]));
  const f = (v) => v.toFixed(1).padStart(9);
  const page = share.library.mean - share.echo.mean;
  const lines = [`page share of a call (arrival to reply sent; clock ${share.isolated ? "fine" : "coarse, 100 us"}):` +
    ` library mean ${share.library.mean.toFixed(1)} us over ${share.library.count} calls,` +
    ` echo mean ${share.echo.mean.toFixed(1)} us over ${share.echo.count}`];
  const rows = (call) => [
    ["client round trip (floor 1)", medians.floor1],
    ["two COM round trips into the connector (floor 2 x 2)", medians.floor2_pair],
    ["WebSocket round trip to the page (floor 3)", medians.floor3],
    ["the page library beyond the echo (means)", page],
    ["the rest: server forwarding, connector work", call - medians.floor1 - medians.floor2_pair - medians.floor3 - page],
    ...(medians.handover === undefined ? [] : [["  of which two thread hand-overs as the connector makes them (probe)", medians.handover]]),
    ["the call", call],
  ];
  for (const [label, call] of [["Name", medians.call_name], ["GetProperty", medians.call_getproperty]]) {
    lines.push(`where the time of ${label} goes (us, medians):`);
    for (const [what, value] of rows(call)) lines.push(`  ${what.padEnd(66)} ${f(value)}   ${((value / call) * 100).toFixed(0).padStart(3)} %`);
  }
  return lines.join("\n");
}

await runCase("connector-bench", async (context) => {
  step(`Preparing the Wine prefix ${prefix.folder}`);
  await prefix.readyFor(context);
  await prefix.serverGone(20).catch(() => check(false, "a server from an earlier run is still running"));
  rmSync(output, { recursive: true, force: true });
  mkdirSync(output, { recursive: true });
  check((await prefix.run(path.join(build, "bin", serverFile), ["/RegServer"])).code === 0, "/RegServer failed");
  // The echo local server of floor 2, registered in this prefix only.
  const echo = await prefix.run("reg", ["add", "HKCR\\CLSID\\{67C93563-41E6-4500-9870-8ACB1B0FA742}\\LocalServer32", "/ve",
    "/d", winPath(path.join(build, "bin", "vaduna_bench_echo.exe")), "/f"]);
  check(echo.code === 0, "registering the echo server failed");
  console.log("server and echo server registered");
  const model = readFileSync("/proc/cpuinfo", "utf8").match(/^model name\s*: (.*)$/m)?.[1];
  const wine = (await run("wine64", ["--version"], { env: prefix.env })).stdout.trim();
  const chromium = (await run("chromium", ["--version"]).catch(() => ({ stdout: "" }))).stdout.split("\n")[0];
  tee("machine.txt", `machine: ${cpus().length} cores, ${model}, ${Math.round(totalmem() / 2 ** 30)} GiB memory`);
  tee("machine.txt", `wine: ${wine}\nchromium: ${chromium}\nload average at the start: ${load()}`);

  step("Serving the bench page, starting the connector for its origin, opening it in headless Chromium");
  const site = makeSite(context.work, [[path.join(root, "bench/connector-page/index.html")], [path.join(root, "bench/connector-page/bench.js")]]);
  const verbose = process.env.VADUNA_BENCH_VERBOSE === "1";
  const stack = await startStack({ prefix, build, work: context.work, site, verbose });
  context.log = stack.log;
  console.log(`serving ${stack.origin}/; connector at ${stack.connector.url}${verbose ? " (--verbose)" : ""}`);
  await waitFor(() => {
    const refusal = stack.log.first((e) => ["refused", "ended", "handshake_failed"].includes(e.event));
    check(!refusal, `the connector did not attach the page: ${JSON.stringify(refusal)}`);
    check(stack.browser.child.alive && stack.connector.child.alive, "Chromium or the connector ended before the page attached");
    return stack.log.first({ event: "attached" });
  }, { timeoutMs: 90_000, what: "the page's attachment" });
  check((await stack.browser.eval("window.vadunaBench.state")) === "attached", "the page does not say it is attached");
  console.log(`the page is attached; server pid ${prefix.serverPids().join(" ")}`);

  step(`Timing the call and its floors: ${ITERATIONS} iterations`);
  const measureOut = path.join(context.work, "measure.out");
  const measuring = prefix.start(benchExe, ["measure", String(ITERATIONS)], { stdout: measureOut, stderr: path.join(context.work, "bench.err") });
  const measureText = () => readFileSync(measureOut, "utf8").replaceAll("\r", "");
  const endpoint = await waitFor(() => measureText().match(/^echo endpoint (ws:\/\/127\.0\.0\.1:\d+\/)$/m)?.[1],
    { timeoutMs: 60_000, what: "the bench client's echo endpoint" });
  // The page times its own share of each call while the measurement runs (never during the load).
  await stack.browser.eval("window.vadunaBench.timing.on = true");
  await stack.browser.eval(`window.vadunaBench.startEcho('${endpoint}')`);
  const measured = await measuring.wait(3_600_000);
  const measure = measureText();
  writeFileSync(path.join(output, "measure.txt"), measure);
  process.stdout.write(measure);
  check(measured?.code === 0, `the measurement failed (status ${measured?.code})`);
  await stack.browser.eval("window.vadunaBench.timing.on = false");
  const share = JSON.parse(await stack.browser.eval("window.vadunaBench.pageShare()"));
  tee("breakdown.txt", breakdown(measure, share));

  // One reading: the connector's private bytes, working set and handles (its own counters, read in the
  // prefix), its resident set as Linux sees it, and the page's JavaScript heap after a garbage collection.
  const readings = [];
  const readMemory = async (label) => {
    const { stdout: counters } = await bench(["memory"]);
    const figure = (name) => counters.match(new RegExp(`^connector .*${name} (\\d+)`, "m"))?.[1];
    const [privateBytes, working, handles] = [figure("private_bytes"), figure("working_set"), figure("handles")];
    const rss = Number(readFileSync(`/proc/${stack.connector.child.pid}/status`, "utf8").match(/^VmRSS:\s*(\d+)/m)?.[1]) * 1024;
    const heap = await stack.browser.heap();
    check(privateBytes && handles && heap.usedSize, `unreadable memory figures: ${counters} / ${JSON.stringify(heap)}`);
    tee("memory.txt", [label.padEnd(14), ...[privateBytes, working].map((v) => String(v).padStart(14)), String(handles).padStart(8),
      ...[rss, heap.usedSize, heap.totalSize].map((v) => String(v).padStart(14))].join(" "));
    readings.push([Number(privateBytes), Number(handles), heap.usedSize]);
    // The connector's handles by the list's type index: a growing count says which kind grows.
    const types = [];
    if (readings.length === 1) types.push(...counters.split("\n").filter((l) => l.startsWith("type indexes:")).map((l) => l.replace(/^type indexes:/, "type indexes of known kinds:")));
    types.push(...counters.split("\n").filter((l) => l.startsWith("connector handles by type index:")).map((l) => l.replace(/^connector handles by type index:/, `${label}:`)));
    types.push(...counters.split("\n").filter((l) => l.startsWith("connector key handles ")).map((l) => l.replace(/^connector key handles /, `${label}, key handles: `)));
    appendFileSync(path.join(output, "handle-types.txt"), types.map((l) => l.trim() + "\n").join(""));
  };

  step(`Memory over ${LOAD_CALLS} calls (${THREADS} client threads, in ${LOAD_STEPS} steps)`);
  const warm = await bench(["load", String(WARMUP_CALLS), THREADS]);
  check(warm.code === 0, `the warm-up load failed: ${warm.stdout}`);
  tee("load.txt", warm.stdout.trim().replace(/^/gm, "warm-up: "));
  tee("memory.txt", ["after calls".padEnd(14), "conn. private".padStart(14), "conn. working".padStart(14), "handles".padStart(8),
    "conn. RSS".padStart(14), "page heap used".padStart(14), "page heap total".padStart(14)].join(" "));
  await readMemory("before");
  for (let i = 1; i <= LOAD_STEPS; i++) {
    const loaded = await bench(["load", String(LOAD_CALLS / LOAD_STEPS), THREADS]);
    check(loaded.code === 0, `load step ${i} failed: ${loaded.stdout}`);
    tee("load.txt", loaded.stdout.trim());
    await readMemory(`after ${(i * LOAD_CALLS) / LOAD_STEPS}`);
  }
  // Flat: every reading within 5 % of the one before the load, for the connector's private bytes and
  // handles and the page's used heap. Printed: the change at the end and the largest one at any step.
  const [first, ...later] = readings;
  check(first.every((v) => v > 0), "unmeasured: a figure before the load reads 0");
  const changes = later.map((r) => r.map((v, k) => ((v - first[k]) / first[k]) * 100));
  const widest = [0, 1, 2].map((k) => changes.reduce((w, c) => (Math.abs(c[k]) > Math.abs(w) ? c[k] : w), 0));
  const end = changes.at(-1) ?? [0, 0, 0];
  const flat = widest.every((w) => Math.abs(w) <= 5);
  const p = (v) => `${v >= 0 ? "+" : ""}${v.toFixed(1)} %`;
  const verdict = `memory over the load (at the end; largest at a step): connector private bytes ${p(end[0])} (${p(widest[0])}), ` +
    `handles ${p(end[1])} (${p(widest[1])}), page heap ${p(end[2])} (${p(widest[2])}): ${flat ? "flat (within 5 %)" : "NOT flat"}`;
  tee("memory.txt", verdict);

  step("Closing the page; the server ends by itself");
  await stack.browser.navigate("about:blank");
  await stack.log.waitFor({ event: "detached" }, 30, "detach of the page");
  await stack.browser.stop();
  await prefix.serverGone(30).catch(() => check(false, "the server was still running 30 s after the page left"));
  await stack.connector.stop();
  copyFileSync(stack.log.file, path.join(output, "connector.log"));
  tee("machine.txt", `load average at the end: ${load()}`);

  step(`Done: figures in ${output}`);
  console.log(measure.split("\n").filter((l) => l.startsWith("ratio ")).join("\n"));
  console.log(verdict);
});
