import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { createServer } from "node:http";
import { connect } from "../vaduna-page.js";
import { DEFAULT_PORTS } from "../lib/connect.js";
import { PROTOCOL_VERSION, STATUS_SERVICE } from "../lib/contract.js";
import { FakeWebSocket } from "../testing/fakes.js";

// Connectors on real loopback ports, as the page's fetch meets them: this user's, another user's, one that never
// answers, and a port where nothing listens.
const answers = {
  mine: (res) => res.writeHead(200).end(JSON.stringify({ service: STATUS_SERVICE, protocol: PROTOCOL_VERSION })),
  other: (res) => res.writeHead(403).end(JSON.stringify({ service: STATUS_SERVICE, refused: "other-user" })),
  hanging: () => {},
};
const port = {};
const asked = {};
const servers = [];

before(async () => {
  for (const [name, answer] of Object.entries({ ...answers, dead: null })) {
    const server = createServer((req, res) => {
      asked[name] = (asked[name] ?? 0) + 1;
      res.setHeader("Access-Control-Allow-Origin", "*");
      res.setHeader("Content-Type", "application/json");
      answer(res);
    });
    await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
    port[name] = server.address().port;
    if (answer === null) await new Promise((resolve) => server.close(resolve));
    else servers.push(server);
  }
});
after(() => servers.forEach((server) => server.closeAllConnections() || server.close()));

/** A connector's socket that attaches the page as soon as the page listens. */
class AttachingSocket extends FakeWebSocket {
  constructor(url) {
    super(url);
    queueMicrotask(() => {
      this.open();
      this.push({ op: "attached", v: 1 });
    });
  }
}

/** connect() over the named ports (or `url`); resolves with the port attached to, or the error. */
async function search({ names, url }) {
  for (const name of Object.keys(asked)) delete asked[name];
  const pending = connect({}, {
    ...(url ? { url: `ws://127.0.0.1:${port[url]}/` } : { ports: names.map((name) => port[name]) }),
    WebSocket: AttachingSocket,
    portTimeout: 50,
    timeout: 2000,
  });
  return pending.then((link) => Number(new URL(link.url).port), (error) => error);
}

test("without a URL the search takes the first connector of this user's, past others' and silent ports", async () => {
  assert.equal(await search({ names: ["dead", "other", "mine"] }), port.mine);
  assert.equal(await search({ names: ["hanging", "mine", "other"] }), port.mine);
  assert.equal(asked.other, undefined); // the search stopped at this user's connector

  const none = await search({ names: ["dead", "other"] });
  assert.equal(none.code, "not-running");
  assert.ok(none.message.includes(`ports ${port.dead}, ${port.other}`), none.message);
  assert.ok(none.message.includes(`another user's connector on ${port.other}`), none.message);
});

test("with a URL only that connector is tried", async () => {
  assert.equal(await search({ url: "mine" }), port.mine);
  for (const [url, says] of [["other", /belongs to another user/], ["dead", /No Vaduna connector answers at/]]) {
    const error = await search({ url, names: [] });
    assert.equal(error.code, "not-running");
    assert.match(error.message, says);
    assert.equal(asked.mine, undefined);
  }
});

test("the default search asks every port of the range, in order", async () => {
  const requested = [];
  const fetch = async (url, init) => {
    if (init.mode === "cors") requested.push(Number(new URL(url).port));
    throw new TypeError("Failed to fetch");
  };
  const error = await connect({}, { WebSocket: FakeWebSocket, fetch }).catch((e) => e);
  assert.equal(error.code, "not-running");
  assert.deepEqual(requested, DEFAULT_PORTS);
  assert.equal(DEFAULT_PORTS.length, 10); // pinned on purpose: the range the connectors listen on
});
