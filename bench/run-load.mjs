// The load run: 4 client processes of 2 threads each make at least 10,000 mixed late-bound calls in all
// against the built server with the classic page host's page attached; every answer is checked by the
// clients. The server's handle count and private bytes after the load must be within 5% of those before
// it (both read once settled; "before" after small warm-up rounds of the same shape and settling rounds of
// the load's size), and the server must end by itself within 10 s of the page's end.
//   node bench/run-load.mjs BUILD_DIR      (bench/run-load.sh; build first: tools/build.sh)
// Prints the figures and a verdict; exit status 0 only when every check held. Not part of the test run.
import { existsSync } from "node:fs";
import { cpus, loadavg } from "node:os";
import path from "node:path";

import {
  WinePrefix, check, root, run, runCase, serverFile, startPageHost, wineDiagnostics,
} from "../tools/harness/index.mjs";

const build = path.resolve(process.argv[2] ?? path.join(root, "build"));
const [CLIENTS, THREADS, CALLS_PER_THREAD] = [4, 2, 1250];  // 4 x 2 x 1250 = 10,000
const [WARM_CALLS, WARM_ROUNDS, SETTLE_ROUNDS, TOLERANCE, END_LIMIT] = [100, 6, 4, 5, 10];
const CLIENT_LIMIT_MS = 900_000;  // one round of clients on a loaded machine
const clientExe = path.join(build, "bin", "vaduna_load_client.exe");
const prefix = new WinePrefix(path.join(build, "load-prefix"));
const problems = [];
const problem = (text) => {
  console.log(`CHECK FAILED: ${text}`);
  problems.push(text);
};
const change = (a, b) => `${b >= a ? "+" : ""}${(a > 0 ? ((b - a) * 100) / a : 0).toFixed(1)}`;
const within = (a, b) => a > 0 && Math.abs(b - a) * 100 <= TOLERANCE * a;
const load = () => loadavg().map((v) => v.toFixed(2)).join(" ");

// One round: every client at once; {calls, failures, seconds}.
async function round(name, calls) {
  const began = Date.now();
  const runs = await Promise.all(Array.from({ length: CLIENTS }, (_, i) =>
    prefix.run(clientExe, [String(THREADS), String(calls), `${name}-${i + 1}`], { timeoutMs: CLIENT_LIMIT_MS })));
  const result = { calls: 0, failures: 0, seconds: ((Date.now() - began) / 1000).toFixed(1) };
  runs.forEach((run, i) => {
    const id = `${name}-${i + 1}`;
    if (run.stdout.trim()) console.log(run.stdout.trim().replace(/^/gm, "  "));
    if (wineDiagnostics(run.stderr)) console.log(wineDiagnostics(run.stderr).replace(/^/gm, "  stderr: "));
    const line = run.stdout.split("\n").filter((l) => l.startsWith(`load ${id}: `)).at(-1);
    if (run.timedOut) problem(`client ${id} still ran after ${CLIENT_LIMIT_MS / 1000} s`);
    if (run.code !== 0 || !line) {
      problem(`client ${id} ended with status ${run.code}${line ? ` (${line})` : ""}`);
      result.failures++;
    }
    if (line) {
      result.calls += Number(line.match(/ calls (\d+),/)?.[1] ?? 0);
      result.failures += Number(line.match(/ failures (\d+),/)?.[1] ?? 0);
    }
  });
  return result;
}

// The server's figures, read by the load client once they settled.
async function usage() {
  const { stdout, stderr } = await prefix.run(clientExe, ["--server-usage"]);
  if (wineDiagnostics(stderr)) console.error(wineDiagnostics(stderr));
  const line = stdout.trim();
  const figure = (name) => Number(line.match(new RegExp(` ${name} (\\d+) `))?.[1]);
  const u = {
    pid: line.match(/^server pid (\d+) /)?.[1],
    threads: figure("threads"),
    handles: figure("handles"),
    bytes: figure("private_bytes"),
    settled: line.match(/ ((un)?settled after \d+ s) /)?.[1],
    sources: line.match(/\((handles: .*)\)$/)?.[1],
  };
  if (!u.pid || !u.handles || !u.bytes) return null;
  if (!u.settled?.startsWith("settled")) problem(`the server's figures did not settle (${line})`);
  return u;
}

await runCase("load", async (context) => {
  for (const exe of [clientExe, path.join(build, "bin", "vaduna_page_host.exe"), path.join(build, "bin", serverFile)]) {
    check(existsSync(exe), `missing ${exe}: build first (tools/build.sh)`);
  }
  await prefix.readyFor(context);
  const wine = (await run("wine64", ["--version"], { env: prefix.env }).catch(() => ({ stdout: "" }))).stdout.trim();
  console.log(`machine: ${cpus().length} processors, ${wine}, load average ${load()}`);
  console.log("shared machine: other builds and tests run at the same time; the figures are noisy");
  await prefix.serverGone(15).catch(() => check(false, `a server of an earlier run still runs in ${prefix.folder}`));
  check((await prefix.run(path.join(build, "bin", serverFile), ["/RegServer"])).code === 0, "/RegServer failed");
  const page = await startPageHost(prefix, build, { log: path.join(context.work, "page.log"), readySeconds: 60, lifeSeconds: 3600 });

  console.log(`warm-up: rounds of ${CLIENTS} clients x ${THREADS} threads, ${WARM_CALLS} calls per thread, ` +
    `until the handle count repeats (at most ${WARM_ROUNDS} rounds)`);
  let u;
  let lastHandles;
  let warm = 1;
  for (; warm <= WARM_ROUNDS; warm++) {
    const r = await round(`warm${warm}`, WARM_CALLS);
    if (r.failures) problem(`warm-up round ${warm}: ${r.failures} failed calls or clients`);
    u = (await usage()) ?? u;
    console.log(`warm-up round ${warm}: ${r.calls} calls, ${r.failures} failures, ${r.seconds} s; server threads ` +
      `${u?.threads}, handles ${u?.handles}, private bytes ${u?.bytes} (${u?.settled})`);
    if (warm >= 2 && u?.handles === lastHandles) break;
    lastHandles = u?.handles;
  }
  if (warm > WARM_ROUNDS) console.log(`warm-up: the handle count still changed after ${WARM_ROUNDS} rounds`);
  console.log(`settling: rounds of the load's size until the private bytes grow by less than ${TOLERANCE / 2} % ` +
    `in one (at most ${SETTLE_ROUNDS} rounds)`);
  let settledBytes = u?.bytes;
  let settle = 1;
  for (; settle <= SETTLE_ROUNDS; settle++) {
    const r = await round(`settle${settle}`, CALLS_PER_THREAD);
    if (r.failures) problem(`settling round ${settle}: ${r.failures} failed calls or clients`);
    u = (await usage()) ?? u;
    console.log(`settling round ${settle}: ${r.calls} calls, ${r.failures} failures, ${r.seconds} s; server threads ` +
      `${u?.threads}, handles ${u?.handles}, private bytes ${u?.bytes} (${change(settledBytes, u?.bytes)} %, ${u?.settled})`);
    if ((u?.bytes - settledBytes) * 200 < TOLERANCE * settledBytes) break;
    settledBytes = u?.bytes;
  }
  if (settle > SETTLE_ROUNDS) console.log(`settling: the private bytes still grew after ${SETTLE_ROUNDS} rounds`);
  check(u, "no figures of the server before the load");
  const before = u;
  console.log(`before: server pid ${before.pid}, threads ${before.threads}, handles ${before.handles}, private bytes ${before.bytes}`);
  console.log(`(read from: ${before.sources})`);

  console.log(`load: ${CLIENTS} clients x ${THREADS} threads, ${CALLS_PER_THREAD} calls per thread`);
  const r = await round("load", CALLS_PER_THREAD);
  console.log(`load: ${r.calls} calls, ${r.failures} failures, ${r.seconds} s`);
  if (r.failures) problem(`${r.failures} failed calls or clients`);
  if (r.calls < 10000) problem(`only ${r.calls} calls`);
  const after = await usage();
  if (!after) {
    problem("no figures of the server after the load");
  } else {
    console.log(`after:  server pid ${after.pid}, threads ${after.threads}, handles ${after.handles}, private bytes ` +
      `${after.bytes} (${after.settled})`);
    if (before.pid !== after.pid) problem(`the server process changed during the load (${before.pid}, then ${after.pid})`);
    console.log(`handles ${before.handles} -> ${after.handles} (${change(before.handles, after.handles)} %), ` +
      `private bytes ${before.bytes} -> ${after.bytes} (${change(before.bytes, after.bytes)} %)`);
    if (!within(before.handles, after.handles)) problem(`handle count changed by more than ${TOLERANCE} %`);
    if (!within(before.bytes, after.bytes)) problem(`private bytes changed by more than ${TOLERANCE} %`);
  }

  const stopped = await page.stop().catch(() => null);
  if (stopped !== 0) problem(`the page host did not stop cleanly: ${page.text().split("\n").slice(-3).join(" ")}`);
  if (!/^page host stopped/m.test(page.text())) problem("the page host did not unload");
  const ended = Date.now();
  await prefix.serverGone(END_LIMIT, ended)
    .then((waited) => console.log(`server ended by itself ${waited} s after the page host ended`))
    .catch(() => problem(`the server still ran ${END_LIMIT} s after the page host ended`));

  console.log(`machine afterwards: load average ${load()}`);
  if (problems.length === 0) {
    console.log(`verdict: PASSED (${r.calls} calls by ${CLIENTS} clients x ${THREADS} threads in ${r.seconds} s, nothing lost)`);
    return 0;
  }
  console.log(`verdict: FAILED (${problems.length} checks)`);
  return 1;
});
