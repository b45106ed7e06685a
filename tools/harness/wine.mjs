// One Wine prefix of the build tree: made ready once (tools/wine-env.sh, which the ctest emulator
// shares), the Windows processes of that prefix found by their environment (other prefixes run the same
// programs), and the 64-bit script host for client scripts.
import { existsSync, readFileSync, readdirSync, rmSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { contract } from "../contract.mjs";
import { run, start, waitFor } from "./processes.mjs";

export const root = path.resolve(fileURLToPath(new URL("../..", import.meta.url)));
export const serverFile = `${contract.serverExecutable}.exe`;

// A Linux path as Wine sees it on drive Z:.
export const winPath = (file) => "Z:" + path.resolve(file).replaceAll("/", "\\");

// Wine's standard error without the launcher's notice about a missing 32-bit Wine.
export function wineDiagnostics(text) {
  return text
    .split("\n")
    .filter((line) => !/wine32 is missing|multiarch needs to be enabled|dpkg --add-architecture|apt-get install wine32/.test(line))
    .join("\n")
    .trim();
}

// Wine's resident programs, which run as long as a prefix's wineserver does.
const resident = /\\(services|winedevice|plugplay|rpcss|explorer|svchost|conhost)\.exe/i;

export class WinePrefix {
  constructor(folder) {
    this.folder = path.resolve(folder);
    this.env = {
      ...process.env,
      WINEPREFIX: this.folder,
      WINEDEBUG: process.env.WINEDEBUG ?? "-all",
      PATH: `${root}/tools/bin:${process.env.PATH}`,
    };
  }

  // ready() for a run (runCase's context): the servers a failed run leaves are ended with it, and the prefix's
  // Wine processes too unless keepWarm (a test's later cases use the same prefix).
  async readyFor(context, { keepWarm = false } = {}) {
    await this.ready();
    context.cleanups.push(...(keepWarm ? [] : [() => this.end()]), () => this.endLeftoverServers());
  }

  // Creates and settles the prefix once, and starts its persistent wineserver.
  async ready() {
    const made = await run("bash", ["-c", '. "$1/tools/wine-env.sh" && vaduna_wine_prefix "$2"', "_", root, this.folder], {
      env: this.env,
      timeoutMs: 300_000,
    });
    if (made.code !== 0) throw new Error(`the Wine prefix ${this.folder} could not be made ready: ${made.stderr}`);
    return this;
  }

  // The prefix made anew (a test that changes the registry has one of its own): the Wine processes of an
  // earlier run that was cut short end before its folder goes, as they could not be reached after.
  async fresh() {
    if (existsSync(this.folder)) await this.end();
    rmSync(this.folder, { recursive: true, force: true });
    return this.ready();
  }

  // Starts a Windows program with the 64-bit loader unless loader names another (see processes.start
  // for the other options).
  start(program, args = [], { loader = "wine64", ...options } = {}) {
    return start(loader, [program, ...args], { name: path.basename(program), ...options, env: this.env });
  }

  run(program, args = [], options = {}) {
    return run("wine64", [program, ...args], { ...options, env: this.env });
  }

  // This prefix's processes whose command line (its arguments joined by spaces, as Wine shows a Windows
  // program's) passes test: {pid, command}.
  processes(test) {
    const found = [];
    for (const entry of readdirSync("/proc")) {
      if (!/^\d+$/.test(entry)) continue;
      try {
        const command = readFileSync(`/proc/${entry}/cmdline`, "utf8").replaceAll("\0", " ").trim();
        if (!test(command)) continue;
        const env = readFileSync(`/proc/${entry}/environ`, "utf8").split("\0");
        if (env.includes(`WINEPREFIX=${this.folder}`)) found.push({ pid: Number(entry), command });
      } catch {
        // gone meanwhile, or not ours to read
      }
    }
    return found;
  }

  // Pids of this prefix's processes whose command line holds needle.
  pids(needle) {
    return this.processes((command) => command.includes(needle)).map(({ pid }) => pid);
  }

  // The prefix's Windows programs but Wine's resident ones (which run as long as its wineserver does).
  programs() {
    return this.processes((command) => /^[A-Za-z]:\\/.test(command) && !resident.test(command));
  }

  // Waits at most seconds until none of programs() runs: a step must not meet the end of the last (an
  // installation started while the one before still finishes in its custom-action server may fail without
  // a log). Says what it waited for, if anything; returns what still runs after the wait (none: settled).
  async settle(label, seconds) {
    const first = this.programs();
    if (!first.length) return [];
    const started = Date.now();
    const left = await waitFor(() => !this.programs().length, { timeoutMs: seconds * 1000, what: label })
      .then(() => [], () => this.programs());
    if (!left.length) {
      const waited = ((Date.now() - started) / 1000).toFixed(1);
      console.log(`  ${label}: waited ${waited} s for ${first.map((p) => p.command).join(";")}`);
    }
    return left;
  }

  serverPids() {
    return this.pids(serverFile);
  }

  // Seconds (one decimal) from fromMs (default now) until no server of this prefix runs; throws after
  // limitSeconds.
  async serverGone(limitSeconds, fromMs = Date.now()) {
    await waitFor(() => this.serverPids().length === 0, {
      timeoutMs: Math.max(0, fromMs + limitSeconds * 1000 - Date.now()),
      what: "the server's end",
    });
    return Math.round((Date.now() - fromMs) / 100) / 10;
  }

  // Ends servers a failed case left running (in this prefix only). A killed server leaves its class
  // registration in the prefix's runtime, which would fail the next activation: the prefix's Wine
  // processes are restarted then.
  async endLeftoverServers() {
    const left = this.serverPids();
    for (const pid of left) {
      try {
        process.kill(pid, "SIGTERM");
      } catch {
        // ended meanwhile
      }
    }
    if (left.length) await this.end();
  }

  // Ends the prefix's wineserver and every Wine process of it (all ours: the prefix is the build's).
  async end() {
    await run("wineserver", ["-k"], { env: this.env, timeoutMs: 30_000 });
  }

  // Waits until the prefix's wineserver has no clients left (Wine's services included: they end once
  // nothing else runs), at most timeoutMs.
  async idle(timeoutMs = 60_000) {
    return run("wineserver", ["-w"], { env: this.env, timeoutMs });
  }
}
