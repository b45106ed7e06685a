import { test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { attach } from "../testing/fakes.js";

// The cases shared with the connector's tests: here the wire against the page.
const table = JSON.parse(readFileSync(new URL("../../tests/data/wire_values.json", import.meta.url), "utf8"));

const SPECIAL_NUMBERS = { NaN, Infinity, "-Infinity": -Infinity };

/** The page value of a case: its `page`, else the value its wire form names; the page's object 1 is `app`. */
function pageValue({ page, wire }, app) {
  if (page !== undefined) return new String(page.String);
  if (wire === null || typeof wire !== "object") return wire;
  if (wire.$ === "undefined") return undefined;
  if (wire.$ === "number") return SPECIAL_NUMBERS[wire.v];
  if (wire.$ === "date") return new Date(wire.v);
  assert.deepEqual(wire, { $: "ref", id: 1 }, "the table's page objects");
  return app;
}

test("values cross between the wire and the page as the shared table says", async () => {
  let received;
  let answer;
  const app = {
    Take(value) {
      received = value;
    },
    Give: () => answer,
  };
  const { call } = await attach(app);
  for (const row of table.cases) {
    const label = JSON.stringify(row);
    const value = pageValue(row, app);
    if (row.holds !== "to-com") {
      received = "not called";
      assert.equal((await call(1, "Take", [row.wire])).error, undefined, label);
      if (value === app) assert.equal(received, app, label);
      else assert.deepEqual(received, value, label);
    }
    if (row.holds !== "to-page") {
      answer = value;
      assert.deepEqual((await call(1, "Give")).value, row.wire, label);
    }
  }
});

test("wire values outside the protocol are refused with the table's error kind", async () => {
  const { call } = await attach({ Take() {} });
  for (const { wire, pageError } of table.unreadable) {
    assert.equal((await call(1, "Take", [wire])).error?.kind, pageError, JSON.stringify(wire));
  }
});

test("values only the page can make: lone surrogates go out as U+FFFD, the rest cannot cross", async () => {
  let answer;
  const { call } = await attach({ Give: () => answer });
  answer = "lone \uD800 surrogate";
  assert.equal((await call(1, "Give")).value, "lone \uFFFD surrogate");
  for (const refused of [() => 1, [1, 2], new Uint8Array(2), Symbol("s"), 10n, new Date(NaN)]) {
    answer = refused;
    assert.equal((await call(1, "Give")).error?.kind, "type-mismatch", String(refused));
  }
});
