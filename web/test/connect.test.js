import { test } from "node:test";
import assert from "node:assert/strict";
import { connect } from "../vaduna-page.js";
import { CONNECTOR_EXE, PROTOCOL_VERSION, STATUS_SERVICE } from "../lib/contract.js";
import { FakeWebSocket, attach, statusFetch, waitFor } from "../testing/fakes.js";

const app = { Name: () => "Shop" };
const fakes = { url: "ws://127.0.0.1:47999/", WebSocket: FakeWebSocket, fetch: statusFetch() };
const networkError = () => Promise.reject(new TypeError("Failed to fetch"));

/** connect() with a fetch that answers per request mode; resolves with the rejection's code and message. */
async function failure({ cors = networkError, noCors = networkError, socket, ...options } = {}) {
  FakeWebSocket.instances.length = 0;
  const requests = [];
  const fetch = (url, init) => {
    requests.push({ url, mode: init.mode, space: init.targetAddressSpace });
    if (init.mode === "no-cors" && (init.redirect ?? "follow") !== "follow") {
      return Promise.reject(new TypeError('Request mode is "no-cors" but the redirect mode is not "follow"'));
    }
    return (init.mode === "cors" ? cors : noCors)(init);
  };
  const pending = connect(app, { url: "ws://127.0.0.1:47999/", WebSocket: FakeWebSocket, fetch, ...options });
  if (socket) socket(await waitFor(() => FakeWebSocket.instances[0]));
  const error = await pending.then(() => assert.fail("connected"), (e) => e);
  assert.ok(error instanceof Error);
  return { code: error.code, message: error.message, requests };
}

test("connect() tells apart why the connector cannot be reached", async () => {
  const notRunning = await failure();
  assert.equal(notRunning.code, "not-running");
  assert.ok(notRunning.message.includes(`Start ${CONNECTOR_EXE}`), notRunning.message);
  assert.deepEqual(notRunning.requests, [
    { url: "http://127.0.0.1:47999/status", mode: "cors", space: "loopback" },
    { url: "http://127.0.0.1:47999/status", mode: "no-cors", space: "loopback" },
  ]);

  const refused = await failure({ noCors: async () => ({ type: "opaque" }) });
  assert.equal(refused.code, "origin-refused");
  assert.match(refused.message, /--allow-origin/);

  const asked = [];
  const permissions = {
    async query({ name }) {
      asked.push(name);
      if (name === "loopback-network") throw new TypeError("unknown permission name");
      return { state: "denied" };
    },
  };
  const denied = await failure({ permissions });
  assert.equal(denied.code, "permission-denied");
  assert.match(denied.message, /local network/);
  assert.deepEqual(asked, ["loopback-network", "local-network-access"]);
  const granted = await failure({ permissions: { query: async () => ({ state: "granted" }) } });
  assert.equal(granted.code, "not-running");
});

test("connect() refuses a foreign or newer service, and a connector that reports an error", async () => {
  const answers = [
    { ok: false, status: 404, json: async () => ({}) },
    { ok: true, status: 200, json: async () => JSON.parse("<html>") },
    { ok: true, status: 200, json: async () => ({ service: "other", protocol: 1 }) },
    { ok: true, status: 200, json: async () => ({ service: STATUS_SERVICE, protocol: PROTOCOL_VERSION + 1 }) },
  ];
  for (const answer of answers) {
    const { code } = await failure({ cors: async () => answer });
    assert.equal(code, "protocol", JSON.stringify(answer));
  }
  const version = await failure({ cors: async () => answers[3] });
  assert.match(version.message, /protocol 2/);

  const refusedAttach = await failure({
    cors: statusFetch(),
    socket(ws) {
      ws.open();
      ws.push({ op: "error", message: "AttachAppObject failed" });
    },
  });
  assert.equal(refusedAttach.code, "protocol");
  assert.match(refusedAttach.message, /AttachAppObject failed/);

  const handshakeRefused = await failure({ cors: statusFetch(), socket: (ws) => ws.drop() });
  assert.equal(handshakeRefused.code, "not-running");
});

test("connect() times out as a whole and leaves no socket open", async () => {
  const hanging = await failure({ cors: () => new Promise(() => {}), timeout: 30 });
  assert.equal(hanging.code, "timeout");

  let socket;
  const silent = await failure({ cors: statusFetch(), timeout: 30, socket: (ws) => (socket = ws).open() });
  assert.equal(silent.code, "timeout");
  assert.deepEqual(socket.sent.map((m) => m.op), ["hello"]);
  assert.ok(socket.readyState >= 2);
});

test("close() sends detach and resolves on the connector's answer, without onDetach", async () => {
  const { link, ws, onDetach } = await attach(app);
  assert.equal(link.attached, true);
  const closing = link.close();
  assert.deepEqual(ws.sent.at(-1), { op: "detach" });
  assert.equal(link.attached, false);
  ws.push({ op: "detached", reason: "closed" });
  assert.equal(await closing, "closed");
  assert.equal(await link.closed, "closed");
  assert.equal(link.objectCount, 0);
  assert.deepEqual(onDetach, []);
  assert.equal(await link.close(), "closed"); // again: nothing more to do
  assert.equal(ws.sent.filter((m) => m.op === "detach").length, 1);
});

test("the link ends with the connector's reason or a lost connection, and tells onDetach once", async () => {
  for (const [end, reason] of [
    [(ws) => ws.push({ op: "detached", reason: "replaced" }), "replaced"],
    [(ws) => ws.push({ op: "detached", reason: "shutdown" }), "shutdown"],
    [(ws) => ws.drop(), "connection-lost"],
    [(ws) => ws.push({ op: "error", message: "server gone" }), "error"],
    [(ws) => ws.push("not json"), "protocol-error"],
  ]) {
    const { link, ws, call, onDetach } = await attach(app);
    await call(1, "Name");
    end(ws);
    ws.drop();
    assert.equal(await link.closed, reason);
    assert.deepEqual(onDetach, [reason]);
    assert.equal(link.objectCount, 0);
    assert.ok(ws.readyState >= 2);
  }
});

test("a call still running when the link ends sends nothing", async () => {
  let finish;
  const { link, ws, call } = await attach({ Slow: () => new Promise((resolve) => (finish = resolve)) });
  call(1, "Slow").catch(() => {});
  await waitFor(() => finish);
  ws.push({ op: "detached", reason: "replaced" });
  await link.closed;
  const sent = ws.sent.length;
  finish({});
  await new Promise((resolve) => setTimeout(resolve, 5));
  assert.equal(ws.sent.length, sent);
  assert.equal(link.objectCount, 0);
});

test("while the desktop user is asked, connect() waits consentTimeout, not timeout; a Deny rejects", async () => {
  for (const [answer, outcome] of [
    [(ws) => ws.push({ op: "attached", v: 1 }), /^attached$/],
    [(ws) => ws.push({ op: "error", code: "consent-denied", message: "Denied" }), /^consent-denied: .*Denied$/],
    [() => {}, /^timeout: Nobody answered on the desktop/],
  ]) {
    FakeWebSocket.instances.length = 0;
    const statuses = [];
    const pending = connect(app, { ...fakes, timeout: 30, consentTimeout: 120, onStatus: (s) => statuses.push(s) });
    const ws = await waitFor(() => FakeWebSocket.instances[0]);
    ws.open();
    assert.equal(ws.sent[0].consentTimeout, 120);
    ws.push({ op: "status", state: "consent-pending" });
    await new Promise((resolve) => setTimeout(resolve, 60)); // past `timeout`
    answer(ws);
    assert.match(await pending.then(() => "attached", (error) => `${error.code}: ${error.message}`), outcome);
    assert.deepEqual(statuses, ["consent-pending"]);
  }
});

test("the link outlives a lost server: status reaches onStatus, calls go on, onDetach stays silent", async () => {
  const statuses = [];
  const { link, ws, call, onDetach } = await attach(app, { onStatus: (state) => statuses.push(state) });
  for (const state of ["server-lost", "reattached", "later-state"]) ws.push({ op: "status", state });
  ws.push({ op: "status" }); // no state: nothing to tell
  assert.deepEqual(statuses, ["server-lost", "reattached", "later-state"]);
  assert.equal(link.attached, true);
  assert.equal((await call(1, "Name")).value, "Shop");
  assert.deepEqual(onDetach, []);
});
