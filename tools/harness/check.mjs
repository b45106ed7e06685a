// The frame of an end-to-end case: a work folder, a failure that says what went wrong (with the
// connector's log when there is one), and the clean-up of everything the case started, also on failure.
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

import { stopAll } from "./processes.mjs";

export class Failure extends Error {}

export function check(condition, message) {
  if (!condition) throw new Failure(message);
}

// Checks that go on after a failure, so that one run of a long test tells all that is wrong: each failure
// is printed at once, done() fails the case when there was any.
export class Tally {
  failures = 0;

  fail(message) {
    console.log(`FAIL: ${message}`);
    this.failures++;
  }

  check(condition, message) {
    if (!condition) this.fail(message);
    return Boolean(condition);
  }

  done(what) {
    check(this.failures === 0, `${what}: ${this.failures} failure(s)`);
  }
}

export const inRange = (value, low, high) => value >= low && value <= high;

// Runs the case body(context) with context.work (a fresh folder, kept when VADUNA_KEEP_WORK is set);
// context.log may be set to a ConnectorLog whose text a failure shows; context.cleanups run at the end.
// Exits 0 on success ("passed: NAME"), 1 on failure, or the status a body returns (77: skipped).
export async function runCase(name, body) {
  const context = { work: mkdtempSync(path.join(tmpdir(), `vaduna-${name}.`)), cleanups: [] };
  let status = 0;
  try {
    status = (await body(context)) ?? 0;
    if (status === 0) console.log(`passed: ${name}`);
  } catch (error) {
    status = 1;
    console.error(`FAILED: ${error instanceof Failure ? error.message : error.stack}`);
    if (context.log) console.error(`--- connector log:\n${context.log.text()}`);
  }
  await stopAll();
  for (const cleanup of context.cleanups.reverse()) {
    try {
      await cleanup();
    } catch (error) {
      console.error(`clean-up: ${error.message}`);
    }
  }
  if (process.env.VADUNA_KEEP_WORK) console.error(`work folder kept: ${context.work}`);
  else rmSync(context.work, { recursive: true, force: true });
  process.exit(status);
}
