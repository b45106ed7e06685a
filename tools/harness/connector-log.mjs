// The connector's log as events: it runs with --log-format json and its standard error goes to a file,
// one JSON object a line (time, event and the event's fields). Lines that are not JSON (Wine's own
// messages) are skipped.
import { readFileSync } from "node:fs";

import { waitFor } from "./processes.mjs";

// Whether event e matches pattern p: the same value for every field p names.
const matches = (e, p) => Object.entries(p).every(([key, value]) => e[key] === value);

export class ConnectorLog {
  constructor(file) {
    this.file = file;
  }

  events() {
    let text;
    try {
      text = readFileSync(this.file, "utf8");
    } catch {
      return [];
    }
    const events = [];
    for (const line of text.split(/\r?\n/)) {
      if (!line.startsWith("{")) continue;
      try {
        events.push(JSON.parse(line));
      } catch {
        // a line being written
      }
    }
    return events;
  }

  // The events matching pattern (an object of field values, or a function).
  all(pattern) {
    const test = typeof pattern === "function" ? pattern : (e) => matches(e, pattern);
    return this.events().filter(test);
  }

  first(pattern) {
    return this.all(pattern)[0];
  }

  // Index of the first event matching pattern, -1 when none.
  indexOf(pattern) {
    const test = typeof pattern === "function" ? pattern : (e) => matches(e, pattern);
    return this.events().findIndex(test);
  }

  // The first event matching pattern, waited for at most seconds.
  async waitFor(pattern, seconds, what = JSON.stringify(pattern)) {
    return waitFor(() => this.first(pattern), { timeoutMs: seconds * 1000, what: `the connector's ${what}` });
  }

  // The moment (ms since 1970) of the first event matching pattern.
  timeOf(pattern) {
    const event = this.first(pattern);
    return event ? Date.parse(event.time) : undefined;
  }

  // For a failure's report.
  text() {
    try {
      return readFileSync(this.file, "utf8").replaceAll("\r", "");
    } catch {
      return "";
    }
  }
}

// What the connector's /status says, or null when it does not answer within timeoutMs.
export async function connectorStatus(port, timeoutMs = 20_000) {
  try {
    const answer = await fetch(`http://127.0.0.1:${port}/status`, { signal: AbortSignal.timeout(timeoutMs) });
    return await answer.json();
  } catch {
    return null;
  }
}
