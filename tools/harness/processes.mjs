// The processes a run starts: each in a process group of its own, so that ending it ends what it started
// (Wine's loader, a browser's helpers), ended by that group's id only, every wait bounded. Whatever still
// runs when the run ends (normally, by an uncaught failure or by SIGINT/SIGTERM) is ended too.
import { spawn } from "node:child_process";
import { closeSync, openSync } from "node:fs";

const running = new Set();

export const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class TimeoutError extends Error {}

// Polls check() every intervalMs until it returns a truthy value, which it returns; at most timeoutMs.
export async function waitFor(check, { timeoutMs, intervalMs = 100, what = "a condition" }) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() >= deadline) throw new TimeoutError(`${what} did not happen within ${timeoutMs / 1000} s`);
    await pause(intervalMs);
  }
}

function isAlive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

export class Child {
  constructor(name, child) {
    this.name = name;
    this.pid = child.pid;
    this.exit = null;  // {code, signal} once ended
    this.ended = new Promise((resolve) =>
      child.on("exit", (code, signal) => {
        this.exit = { code, signal };
        running.delete(this);
        resolve(this.exit);
      }),
    );
  }

  get alive() {
    return this.exit === null;
  }

  // The exit, or null when the process still runs after timeoutMs.
  async wait(timeoutMs) {
    let timer;
    const late = new Promise((resolve) => (timer = setTimeout(() => resolve(null), timeoutMs)));
    const result = await Promise.race([this.ended, late]);
    clearTimeout(timer);
    return result;
  }

  signal(name) {
    if (!this.alive) return;
    try {
      process.kill(-this.pid, name);
    } catch {
      // the group has gone meanwhile
    }
  }

  // Sends signal, waits at most timeoutMs, then SIGKILL; returns the exit. Only the process itself is
  // waited for: its group's stragglers get the same signals.
  async stop(signal = "SIGTERM", timeoutMs = 10_000) {
    if (!this.alive) return this.exit;
    this.signal(signal);
    const exit = await this.wait(timeoutMs);
    if (exit) return exit;
    this.signal("SIGKILL");
    return this.wait(5_000);
  }
}

// Starts command in a process group of its own. stdout and stderr: a file path, "pipe", or "ignore"
// (the default); standard input is empty.
export function start(command, args = [], { name = command, env, cwd, stdout = "ignore", stderr = "ignore" } = {}) {
  const files = [];
  const target = (where) => {
    if (where === "pipe" || where === "ignore" || where === "inherit") return where;
    const fd = openSync(where, "a");
    files.push(fd);
    return fd;
  };
  const child = spawn(command, args, {
    cwd,
    env: env ?? process.env,
    detached: true,
    stdio: ["ignore", target(stdout), target(stderr)],
  });
  for (const fd of files) closeSync(fd);
  child.on("error", () => {});  // a program that cannot start: reported below, by its missing pid
  const owned = new Child(name, child);
  owned.process = child;
  if (owned.pid === undefined) {
    owned.exit = { code: 127, signal: null };
    throw new Error(`${name}: ${command} could not be started`);
  }
  running.add(owned);
  return owned;
}

// Runs command to its end (at most timeoutMs, then it is ended); {code, signal, stdout, stderr}, without
// carriage returns unless raw.
export async function run(command, args = [], { timeoutMs = 120_000, raw = false, ...options } = {}) {
  const child = start(command, args, { ...options, stdout: "pipe", stderr: "pipe" });
  let stdout = "";
  let stderr = "";
  child.process.stdout.setEncoding("utf8").on("data", (text) => (stdout += text));
  child.process.stderr.setEncoding("utf8").on("data", (text) => (stderr += text));
  let exit = await child.wait(timeoutMs);
  const timedOut = exit === null;
  if (timedOut) exit = await child.stop("SIGTERM", 5_000);
  const text = (all) => (raw ? all : all.replaceAll("\r", ""));
  return { ...exit, timedOut, stdout: text(stdout), stderr: text(stderr) };
}

// Ends every process still running, in the reverse order of their start.
export async function stopAll(timeoutMs = 10_000) {
  for (const child of [...running].reverse()) await child.stop("SIGTERM", timeoutMs);
}

export { isAlive };

process.on("exit", () => {
  for (const child of running) child.signal("SIGKILL");
});
for (const signal of ["SIGINT", "SIGTERM"]) {
  process.on(signal, () => {
    stopAll(3_000).finally(() => process.exit(130));
  });
}
