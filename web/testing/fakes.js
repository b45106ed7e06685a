// Stand-ins for the browser's WebSocket and fetch, driven by the tests as the connector would be. Kept outside
// test/, where the test runner would take every file for a test.

import { connect } from "../vaduna-page.js";
import { PROTOCOL_VERSION, STATUS_SERVICE } from "../lib/contract.js";

/** A browser-style WebSocket whose other end is the test. */
export class FakeWebSocket {
  static instances = [];

  constructor(url) {
    this.url = url;
    this.readyState = 0;
    /** Parsed frames the page sent. */
    this.sent = [];
    this.onopen = this.onmessage = this.onclose = this.onerror = null;
    FakeWebSocket.instances.push(this);
  }

  send(text) {
    if (this.readyState !== 1) throw new Error("InvalidStateError");
    this.sent.push(JSON.parse(text));
  }

  close() {
    if (this.readyState >= 2) return;
    this.readyState = 2;
    queueMicrotask(() => this.drop());
  }

  // ---- The connector's side ----

  open() {
    this.readyState = 1;
    this.onopen?.({});
  }

  push(message) {
    this.onmessage?.({ data: typeof message === "string" ? message : JSON.stringify(message) });
  }

  drop() {
    if (this.readyState === 3) return;
    this.readyState = 3;
    this.onclose?.({ code: 1006 });
  }

  /** Waits for the page's reply to `rid`. */
  async reply(rid) {
    for (let i = 0; i < 200; i++) {
      const found = this.sent.find((m) => m.op === "reply" && m.rid === rid);
      if (found) return found;
      await new Promise((resolve) => setImmediate(resolve));
    }
    throw new Error(`no reply to ${rid}`);
  }
}

/** A fetch answering /status like a connector that accepts the page. */
export function statusFetch(status = { service: STATUS_SERVICE, version: "1.0.0", protocol: PROTOCOL_VERSION, attached: false }) {
  return async () => ({ ok: true, status: 200, json: async () => status });
}

/**
 * Connects `app` through a FakeWebSocket and answers `attached`.
 * @returns {Promise<{link: object, ws: FakeWebSocket, call: Function, onDetach: string[]}>}
 */
export async function attach(app, options = {}) {
  FakeWebSocket.instances.length = 0;
  const detaches = [];
  const pending = connect(app, {
    WebSocket: FakeWebSocket,
    fetch: statusFetch(),
    onDetach: (reason) => detaches.push(reason),
    ...options,
  });
  const ws = await waitFor(() => FakeWebSocket.instances[0]);
  ws.open();
  ws.push({ op: "attached", v: 1 });
  const link = await pending;
  let rid = 0;
  /** Calls a member the way the connector does and resolves with the page's reply. */
  const call = (target, member, args = [], kind = "method") => {
    const id = ++rid;
    ws.push({ op: "call", rid: id, target, member, kind, args });
    return ws.reply(id);
  };
  return { link, ws, call, onDetach: detaches };
}

export async function waitFor(probe) {
  for (let i = 0; i < 200; i++) {
    const value = probe();
    if (value) return value;
    await new Promise((resolve) => setImmediate(resolve));
  }
  throw new Error("timed out waiting");
}
