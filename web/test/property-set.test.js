import { test } from "node:test";
import assert from "node:assert/strict";
import { PropertySet, Service, createApplication } from "../vaduna-page.js";

test("properties: strings in insertion order, missing reads as empty, truth values", () => {
  const set = new PropertySet();
  set.SetProperty("b", 2);
  set.SetProperty("a", null);
  set.SetProperty("b", "two"); // replaced in place
  assert.deepEqual([...set], [["b", "two"], ["a", ""]]);
  assert.equal(set.GetProperty("missing"), "");
  assert.equal(set.get("missing"), undefined);
  assert.equal(set.PropertyExists("a"), true);
  assert.equal(set.RemoveProperty("a"), true);
  assert.equal(set.RemoveProperty("a"), false);
  assert.equal(set.GetPropertyCount(), 1);
  assert.throws(() => set.SetProperty("", "x"), RangeError);
  assert.equal(set.SetType(5), true);
  assert.equal(set.SetValue(undefined), true);
  assert.deepEqual([set.GetType(), set.GetValue(), set.type], ["5", "", "5"]);
});

test("iteration lists every name once, also while properties are removed and added", () => {
  const set = new PropertySet({ properties: { a: 1, b: 2, c: 3 } });
  assert.equal(set.GetNextProperty(), "a"); // without GetFirstProperty: from the start
  assert.equal(set.GetFirstProperty(), "a");
  set.RemoveProperty("b");
  set.SetProperty("d", 4);
  assert.deepEqual([set.GetNextProperty(), set.GetNextProperty(), set.GetNextProperty()], ["c", "d", ""]);
  assert.equal(set.GetNextProperty(), "");
  set.Reset();
  assert.equal(set.GetFirstProperty(), "");
  assert.deepEqual([set.GetPropertyCount(), set.GetChildCount(), set.GetType()], [0, 0, ""]);
});

test("children: add, insert clamped, remove, out of range, no cycles", () => {
  const [a, b, c, d] = ["a", "b", "c", "d"].map((type) => new PropertySet({ type }));
  const set = new PropertySet();
  assert.equal(set.AddChild(b), true);
  set.InsertChildAt(a, -5);
  set.InsertChildAt(d, 99);
  set.InsertChildAt(c, 2);
  assert.deepEqual(set.children.map((x) => x.type), ["a", "b", "c", "d"]);
  assert.equal(set.GetChild(4), null);
  assert.equal(set.GetChild(-1), null);
  assert.equal(set.RemoveChild(1), true);
  assert.equal(set.RemoveChild(3), false);
  assert.equal(set.GetChild(1), c);
  assert.throws(() => set.children.push(a), TypeError); // the view is read-only
  assert.equal(set.AddChild(null), false);
  assert.equal(set.AddChild({ GetType() {} }), false);
  assert.equal(set.AddChild(set), false);
  a.AddChild(new PropertySet());
  assert.equal(a.GetChild(0).AddChild(set), false); // set > a > child > set
  assert.throws(() => a.InsertChildAt(set, 0), RangeError);
  assert.equal(set.GetChildCount(), 3);
});

test("encoding round-trips awkward content and nested children", () => {
  const awkward = ["a,b;c", "100% (=)", "nul\u0000here", "Zürich – 東京 😀", "lone \uD800 \uDC00", "%41", "\r\n\t", ""];
  const deep = new PropertySet({ type: "leaf" });
  let top = deep;
  for (let i = 0; i < 50; i++) top = new PropertySet({ type: `level ${i}`, children: [top] });
  const set = new PropertySet({
    type: awkward[1],
    value: awkward[4],
    properties: awkward.slice(0, -1).map((text, i) => [text, awkward[(i + 3) % awkward.length]]),
    children: [{ value: "x", properties: { "=": ";" } }, top, new PropertySet()],
  });
  const text = set.EncodeAsString();
  assert.doesNotMatch(text, /[\u0000\uD800]/); // travels as plain, well-formed text
  const copy = new PropertySet();
  copy.DecodeFromString(text);
  assert.deepEqual(copy.toJSON(), set.toJSON());
  assert.equal(copy.EncodeAsString(), text);
  assert.equal(copy.GetChild(1).GetChild(0).GetChild(0).type, "level 47");
  assert.deepEqual(new PropertySet(set.toJSON()).toJSON(), set.toJSON());
});

test("decoding foreign text throws and leaves the set as it was", () => {
  const set = new PropertySet({ type: "kept", properties: { a: "1" }, children: [{}] });
  const good = new PropertySet({ type: "t", properties: { a: "1", b: "2" }, children: [{}] }).EncodeAsString();
  const bad = [
    "",
    "t,v,0,0", // another encoding
    good.slice(0, -1), // cut short
    good + ")",
    good.replace("a=1", "a=1=2"),
    good.replace("b=2", "a=2"), // the encoder never repeats a name
    good.replace("a=1", "=1"),
    good.replace("b=2", "b=%2"),
    good.replace("b=2", "b=%u12"),
    good.replace("b=2", "b=%zz"),
  ];
  for (const text of bad) {
    assert.throws(() => set.DecodeFromString(text), SyntaxError, JSON.stringify(text));
  }
  assert.deepEqual(set.toJSON(), { type: "kept", value: "", properties: { a: "1" }, children: [new PropertySet().toJSON()] });
});

test("Service.InvokeMethod: fresh output, returned set, null, async, unknown and bad answers", async () => {
  const input = new PropertySet({ properties: { Customer: "ACME" } });
  const other = new PropertySet({ type: "other" });
  const service = new Service("Accounts", {
    Fill(i, o) {
      o.SetProperty("Customer", i.GetProperty("Customer"));
    },
    Own: () => other,
    None: () => null,
    async Later(i, o) {
      await new Promise((resolve) => setTimeout(resolve, 5));
      o.SetValue("late");
    },
    Wrong: () => "text",
  });
  assert.equal(service.Name(), "Accounts");
  assert.equal((await service.InvokeMethod("Fill", input)).GetProperty("Customer"), "ACME");
  assert.equal(await service.InvokeMethod("Own", input), other);
  assert.equal(await service.InvokeMethod("None", input), null);
  assert.equal((await service.InvokeMethod("Later", input)).GetValue(), "late");
  await assert.rejects(service.InvokeMethod("Wrong", input), TypeError);
  await assert.rejects(service.InvokeMethod("Missing", input), /no method "Missing"/);
  await assert.rejects(service.InvokeMethod("toString", input), /no method "toString"/);
  await assert.rejects(service.InvokeMethod("fill", input), /no method "fill"/); // method names are exact
});

test("createApplication", () => {
  const accounts = new Service("Accounts", {});
  const app = createApplication({ name: "Shop", services: [accounts] });
  assert.deepEqual([app.Name(), app.IsReady()], ["Shop", true]);
  assert.equal(app.GetService("Accounts"), accounts);
  assert.throws(() => app.GetService("Billing"), /No service "Billing"/);
  assert.ok(app.NewPropertySet() instanceof PropertySet);
  assert.notEqual(app.NewPropertySet(), app.NewPropertySet());
  assert.throws(() => createApplication({ name: "x", services: [accounts, new Service("Accounts", {})] }), RangeError);
  let ready = false;
  assert.equal(createApplication({ name: "x", ready: () => ready }).IsReady(), false);
});
