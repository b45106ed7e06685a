// Client scripts under the prefix's script host (cscript, 64-bit unless host names another). Their output
// goes to a file, not a pipe: a server that a client starts inherits the client's handles and would hold
// a pipe open until it ends.
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

import { composed } from "./compose.mjs";
import { pause, waitFor } from "./processes.mjs";
import { winPath, wineDiagnostics } from "./wine.mjs";

const read = (file) => {
  try {
    return readFileSync(file, "utf8").replaceAll("\r", "");
  } catch {
    return "";
  }
};

// The moment (ms since 1970) a client said it let go of its last object: its line "released at SECONDS"
// (VBScript's Timer, seconds since local midnight).
function releaseTime(text) {
  const seconds = [...text.matchAll(/^released at ([0-9.,]+)$/gm)].at(-1)?.[1];
  if (seconds === undefined) return undefined;
  const midnight = new Date();
  midnight.setHours(0, 0, 0, 0);
  return midnight.getTime() + Number(seconds.replace(",", ".")) * 1000;
}

export class Client {
  constructor(prefix, script, args = [], { host = "cscript", loader } = {}) {
    this.prefix = prefix;
    const folder = mkdtempSync(path.join(tmpdir(), "vaduna-client."));
    this.folder = folder;
    this.out = path.join(folder, "out");
    this.err = path.join(folder, "err");
    this.child = prefix.start(host, ["//nologo", winPath(composed(script, folder)), ...args], {
      name: path.basename(script),
      loader,
      stdout: this.out,
      stderr: this.err,
    });
    this.summaryAt = undefined;  // when its "N passed, M failed" line was first seen
    this.sawServer = false;      // whether a server of the prefix ran meanwhile
  }

  output() {
    return read(this.out);
  }

  // The first match of regex in the output, waited for at most seconds.
  async line(regex, seconds) {
    return waitFor(() => this.output().match(regex), { timeoutMs: seconds * 1000, what: `the client's ${regex}` });
  }

  // Waits at most seconds for the client to end, noting when it summed up and whether a server ran.
  // Returns {code, timedOut, text (without its "released at" line), doneAt (ms; its release when it said)}.
  async finish(seconds, { end = false } = {}) {
    const deadline = Date.now() + seconds * 1000;
    for (let polls = 0; this.child.alive && Date.now() < deadline; polls++) {
      if (this.summaryAt === undefined && / passed, /.test(this.output())) this.summaryAt = Date.now();
      if (!this.sawServer && polls % 4 === 0 && this.prefix.serverPids().length) this.sawServer = true;
      await pause(50);
    }
    let timedOut = false;
    if (this.child.alive) {
      if (!end) throw new Error(`the client did not end within ${seconds} s; its output: ${this.output()}`);
      await this.child.stop("SIGTERM", 5_000);
      timedOut = true;
    }
    const text = this.output();
    this.summaryAt ??= Date.now();
    const diagnostics = wineDiagnostics(read(this.err));
    if (diagnostics) process.stderr.write(diagnostics + "\n");
    rmSync(this.folder, { recursive: true, force: true });
    return {
      code: timedOut ? 124 : this.child.exit.code,
      timedOut,
      text: text.split("\n").filter((l) => !l.startsWith("released at ")).join("\n").trim(),
      doneAt: releaseTime(text) ?? this.summaryAt,
    };
  }
}

// Runs a client to its end (at most limitSeconds, then it is ended: code 124) and prints its output.
export async function runClient(prefix, script, { args = [], limitSeconds = 300, host, loader } = {}) {
  const client = new Client(prefix, script, args, { host, loader });
  const result = await client.finish(limitSeconds, { end: true });
  if (result.text) console.log(result.text);
  result.sawServer = client.sawServer;
  return result;
}

// Whether output ends in a summary of all passed.
export const allPassed = (text) => /^[1-9][0-9]* passed, 0 failed$/m.test(text);
