import { test } from "node:test";
import assert from "node:assert/strict";
import { PropertySet, Service, createApplication, MAX_FRAME_BYTES } from "../vaduna-page.js";
import { attach } from "../testing/fakes.js";

const ref = (id) => ({ $: "ref", id });

class Base {
  Inherited() {
    return "from the prototype";
  }
}

class Target extends Base {
  label = "plain value";
  Echo(...args) {
    return args;
  }
  First(value) {
    return value;
  }
}

test("hello offers the application as object 1; members resolve exactly, then case-insensitively, never Object's", async () => {
  const target = new Target();
  const { ws, call } = await attach(target);
  assert.deepEqual(ws.sent[0], { op: "hello", v: 1, app: ref(1), consentTimeout: 60_000 });
  assert.deepEqual((await call(1, "Inherited")).value, "from the prototype");
  assert.deepEqual((await call(1, "INHERITED")).value, "from the prototype");
  assert.deepEqual((await call(1, "Label")).value, "plain value"); // a plain value is read
  assert.deepEqual((await call(1, "label", [], "get")).value, "plain value");
  assert.equal((await call(1, "Label", ["x"])).error.kind, "exception");
  for (const member of ["toString", "constructor", "Constructor", "__proto__", "hasOwnProperty", "valueOf", "nothing"]) {
    assert.deepEqual((await call(1, member)).error?.kind, "member-not-found", member);
  }
  assert.deepEqual((await call(1, "label", ["new"], "put")).value, { $: "undefined" });
  assert.equal(target.label, "new");
  assert.equal((await call(1, "Echo", [1], "put")).error.kind, "exception"); // methods stay
  assert.equal(typeof target.Echo, "function");
});

test("a call on, or with, an object the page no longer holds fails with unknown-object", async () => {
  const { call } = await attach(new Target());
  assert.equal((await call(99, "Name")).error.kind, "unknown-object");
  assert.equal((await call(1, "First", [ref(99)])).error.kind, "unknown-object");
});

test("whatever a member throws or rejects with is answered with an exception", async () => {
  const revoked = Proxy.revocable({}, {});
  revoked.revoke();
  const cyclic = { message: "cycle" };
  cyclic.self = cyclic;
  const unreadable = "The page's code failed";
  const thrownValues = [
    [new Error("no such customer"), "no such customer"],
    ["plain text", "plain text"],
    [revoked.proxy, unreadable],
    [new Proxy(new Error("x"), { getPrototypeOf: () => assert.fail("trap") }), unreadable],
    [{ get message() { throw new Error("getter"); } }, unreadable],
    [Object.create(null), unreadable],
    [{ toString: () => ({}) }, unreadable],
    [{ toString() { throw new Error("toString"); } }, unreadable],
    [new Proxy({}, { get: () => assert.fail("trap"), getPrototypeOf: () => assert.fail("trap") }), unreadable],
    [{ message: Symbol("m") }, "[object Object]"],
    [Symbol("s"), "Symbol(s)"],
    [null, "null"],
    [undefined, "undefined"],
    [10n, "10"],
    [cyclic, "cycle"],
    [new RangeError(""), "RangeError"],
    [new Error("lone \uD800"), "lone \uFFFD"],
  ];
  let thrown;
  const { call } = await attach({
    Throw() {
      throw thrown;
    },
    Reject: () => Promise.reject(thrown),
    Answer: () => revoked.proxy,
  });
  assert.equal((await call(1, "Answer")).error?.kind, "exception"); // an answer that cannot be read
  for (const [value, message] of thrownValues) {
    thrown = value;
    for (const member of ["Throw", "Reject"]) {
      assert.deepEqual((await call(1, member)).error, { kind: "exception", message }, `${member} ${message}`);
    }
  }
});

test("calls run side by side: a slow member does not hold up others, replies carry their rid", async () => {
  let finishSlow;
  const app = {
    Slow: () => new Promise((resolve) => (finishSlow = resolve)),
    Fast: (n) => n * 2,
  };
  const { ws, call } = await attach(app);
  const slow = call(1, "Slow");
  const fast = await Promise.all([call(1, "Fast", [1]), call(1, "Fast", [2])]);
  assert.deepEqual(fast.map((r) => [r.rid, r.value]), [[2, 2], [3, 4]]);
  finishSlow("done");
  assert.deepEqual(await slow, { op: "reply", rid: 1, value: "done" });
  assert.deepEqual(ws.sent.slice(1).map((m) => m.rid), [2, 3, 1]);
});

test("released objects leave the table; a reference crossing a release keeps its object", async () => {
  const accounts = new Service("Accounts", { Echo: (input) => input, Nothing: () => null });
  const { link, ws, call } = await attach(createApplication({ name: "Shop", services: [accounts] }));

  // A desktop client's loop: service, two sets, a call; the connector releases what it received.
  for (let round = 0; round < 200; round++) {
    const service = (await call(1, "GetService", ["Accounts"])).value.id;
    const input = (await call(1, "NewPropertySet")).value.id;
    await call(input, "SetProperty", ["Customer", `C${round}`]);
    const output = (await call(service, "InvokeMethod", ["Echo", ref(input)])).value.id;
    assert.equal(output, input); // the same object keeps its id while held
    await call(service, "InvokeMethod", ["Nothing", ref(input)]);
    ws.push({ op: "release", id: service, count: 1 });
    ws.push({ op: "release", id: input, count: 2 });
  }
  assert.equal(link.objectCount, 1); // only the application is left

  // The set is sent again while the connector's release of its first COM object is on its way.
  const service = (await call(1, "GetService", ["Accounts"])).value.id;
  const set = (await call(1, "NewPropertySet")).value.id;
  assert.equal((await call(service, "InvokeMethod", ["Echo", ref(set)])).value.id, set);
  ws.push({ op: "release", id: set, count: 1 });
  assert.equal((await call(set, "GetType")).value, ""); // still held: one export outstanding
  ws.push({ op: "release", id: set, count: 1 });
  assert.equal((await call(set, "GetType")).error.kind, "unknown-object");
  const fresh = (await call(1, "NewPropertySet")).value.id;
  assert.ok(fresh > set); // ids are never reused
  assert.equal(link.objectCount, 3); // application, service, new set
});

test("a reply over the frame limit becomes an error; the link stays", async () => {
  const big = "x".repeat(MAX_FRAME_BYTES);
  const { link, call } = await attach({ Big: () => big, Set: () => new PropertySet({ value: big }) });
  assert.equal((await call(1, "Big")).error.kind, "exception");
  assert.equal((await call(1, "Set")).value.$, "ref"); // a reference stays small
  assert.equal(link.objectCount, 2);
});
