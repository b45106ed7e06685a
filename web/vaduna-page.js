/**
 * The page side of the Vaduna page protocol (version 1, see PROTOCOL.md).
 *
 * A web application attaches its script application object to the desktop integration server through the page
 * connector (`CONNECTOR_EXE`) on a loopback WebSocket. The connector stands in for the page towards COM
 * and forwards every call to the page by member name; this module answers those calls on the page's objects,
 * keeps the table of objects the connector holds, and offers ready-made property sets, services and an
 * application object.
 *
 *     import { connect, createApplication, Service } from "./vaduna-page.js";
 *     const orders = new Service("Orders", { Find(input, output) { ... } });
 *     const app = createApplication({ name: "Shop", services: [orders] });
 *     const link = await connect(app, { onDetach: (reason) => console.log("detached:", reason) });
 *
 * @module vaduna-page
 */

import { CONNECTOR_EXE, DEFAULT_PORT, PROTOCOL_VERSION, STATUS_SERVICE } from "./lib/contract.js";

/** The protocol version this module speaks (`hello.v`, `attached.v`, `/status` `protocol`). */
export { PROTOCOL_VERSION };

/** Where the connector listens unless told otherwise. */
export const DEFAULT_URL = `ws://127.0.0.1:${DEFAULT_PORT}/`;

/** How long `connect()` may take as a whole, in milliseconds, unless `options.timeout` says otherwise. */
export const DEFAULT_TIMEOUT_MS = 10_000;

/**
 * Largest frame the page sends, in UTF-8 bytes. The connector closes the link on a larger frame, so a reply that
 * would exceed it is answered with an error instead: the call fails, the link stays.
 */
export const MAX_FRAME_BYTES = 16 * 1024 * 1024;

/** How long `link.close()` waits for the connector's `detached` before closing the socket itself. */
export const CLOSE_TIMEOUT_MS = 5_000;

const WS_OPEN = 1;
const WS_CLOSED = 3;

// ---------------------------------------------------------------------------------------------------------------
// Strings

const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;

/** The string with every lone surrogate replaced by U+FFFD, as the wire carries strings. */
function wellFormed(text) {
  return typeof text.toWellFormed === "function" ? text.toWellFormed() : text.replace(LONE_SURROGATE, "\uFFFD");
}

/** UTF-8 length of a string (lone surrogates count as the 3 bytes of U+FFFD). */
function utf8Length(text) {
  let bytes = 0;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c < 0x80) bytes += 1;
    else if (c < 0x800) bytes += 2;
    else if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length && (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      bytes += 4;
      i++;
    } else bytes += 3;
  }
  return bytes;
}

/** A property name or value: null and undefined read as the empty string, as COM's empty and null values do. */
function asText(value) {
  return value === null || value === undefined ? "" : String(value);
}

// ---------------------------------------------------------------------------------------------------------------
// Property sets

/**
 * Encoding of a property set, made by EncodeAsString and read by DecodeFromString:
 *
 *     VPS1:(type;value;name=value,name=value;(child)(child))
 *
 * Children are nested inline, so the text grows linearly with depth. In every string the characters
 * `% ( ) ; , =` and the control characters are written `%XX`, and a lone surrogate `%uXXXX`, so any content
 * survives, also through a transport that would replace lone surrogates.
 */
const ENCODING_HEADER = "VPS1:";
const ENCODE_ESCAPED = /[%(),;=\x00-\x1F\x7F]|[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;
const DECODE_DELIMITERS = "();,=";

function escapeField(text) {
  return text.replace(ENCODE_ESCAPED, (c) => {
    const code = c.charCodeAt(0);
    const hex = code.toString(16).toUpperCase();
    return code < 0x100 ? "%" + hex.padStart(2, "0") : "%u" + hex;
  });
}

/** Reads an encoding into a new set; assigned inside PropertySet, which alone reaches a set's fields. */
/** @type {(text: string) => PropertySet} */
let decodeSet;

/**
 * @typedef {object} PropertySetInit
 * @property {string} [type]
 * @property {string} [value]
 * @property {Record<string, unknown> | Iterable<[string, unknown]>} [properties] names and values (made strings)
 * @property {Iterable<PropertySet | PropertySetInit>} [children]
 */

/**
 * A property set: named string properties in insertion order, a type, a value and ordered child sets. It carries
 * every member the server calls by name, plus JS accessors (`get`, `set`, `has`, `delete`, `size`, `type`,
 * `value`, `children`, iteration, `toJSON`). `new PropertySet(set.toJSON())` makes a deep copy.
 */
export class PropertySet {
  /** @type {Map<string, string>} */
  #properties = new Map();
  #type = "";
  #value = "";
  /** @type {PropertySet[]} */
  #children = [];
  /** @type {Iterator<string> | null} live iterator of GetNextProperty; null: the next call starts at the first */
  #cursor = null;

  /** @param {PropertySetInit} [init] */
  constructor(init = {}) {
    if (init === null || typeof init !== "object") throw new TypeError("PropertySet: the options must be an object");
    if (init.type !== undefined) this.#type = asText(init.type);
    if (init.value !== undefined) this.#value = asText(init.value);
    const properties = init.properties ?? [];
    const pairs = typeof properties[Symbol.iterator] === "function" ? properties : Object.entries(properties);
    for (const [name, value] of pairs) this.SetProperty(name, value);
    for (const child of init.children ?? []) {
      if (!this.AddChild(child instanceof PropertySet ? child : new PropertySet(child))) {
        throw new TypeError("PropertySet: a child would contain its own parent");
      }
    }
  }

  // ---- Members called by the server ----

  /** The property's value, or "" when there is none. */
  GetProperty(name) {
    return this.#properties.get(asText(name)) ?? "";
  }

  /**
   * Sets a property, adding it at the end or replacing its value in place. The empty name is refused: the
   * iteration members answer "" for "no more properties", so such a property could never be listed.
   */
  SetProperty(name, value) {
    name = asText(name);
    if (name === "") throw new RangeError("SetProperty: a property name cannot be empty");
    this.#properties.set(name, asText(value));
  }

  PropertyExists(name) {
    return this.#properties.has(asText(name));
  }

  /** true when the property was there. A running iteration goes on with the next property. */
  RemoveProperty(name) {
    return this.#properties.delete(asText(name));
  }

  /** Starts the iteration over the property names: the first name, or "" when there is none. */
  GetFirstProperty() {
    this.#cursor = this.#properties.keys();
    return this.GetNextProperty();
  }

  /** The next name, or "" when there is none left. Without GetFirstProperty it starts at the first name. */
  GetNextProperty() {
    this.#cursor ??= this.#properties.keys();
    const step = this.#cursor.next();
    return step.done ? "" : step.value;
  }

  GetPropertyCount() {
    return this.#properties.size;
  }

  GetType() {
    return this.#type;
  }

  SetType(type) {
    this.#type = asText(type);
    return true;
  }

  GetValue() {
    return this.#value;
  }

  SetValue(value) {
    this.#value = asText(value);
    return true;
  }

  /** Empties the set: no properties, type and value "", no children, iteration at the start. */
  Reset() {
    this.#properties = new Map();
    this.#type = "";
    this.#value = "";
    this.#children = [];
    this.#cursor = null;
  }

  /** Appends a child set; false (nothing added) for anything but a PropertySet, or one that contains this set. */
  AddChild(child) {
    if (!this.#acceptsChild(child)) return false;
    this.#children.push(child);
    return true;
  }

  /** Inserts a child before `index`, clamped to the list (negative: first, past the end: last). */
  InsertChildAt(child, index) {
    if (!(child instanceof PropertySet)) throw new TypeError("InsertChildAt: the child must be a PropertySet");
    if (!this.#acceptsChild(child)) throw new RangeError("InsertChildAt: the child contains this set");
    const at = Math.trunc(Number(index));
    if (Number.isNaN(at)) throw new TypeError("InsertChildAt: the index must be a number");
    this.#children.splice(Math.min(Math.max(at, 0), this.#children.length), 0, child);
  }

  /** Removes the child at `index`; false when there is none. */
  RemoveChild(index) {
    const at = this.#childIndex(index);
    if (at < 0) return false;
    this.#children.splice(at, 1);
    return true;
  }

  /** The child at `index`, or null when there is none. */
  GetChild(index) {
    const at = this.#childIndex(index);
    return at < 0 ? null : this.#children[at];
  }

  GetChildCount() {
    return this.#children.length;
  }

  /** The whole set, children included, as one string that DecodeFromString reads back exactly. */
  EncodeAsString() {
    const out = [ENCODING_HEADER];
    const open = (set) => {
      const props = [];
      for (const [name, value] of set.#properties) props.push(escapeField(name) + "=" + escapeField(value));
      out.push("(", escapeField(set.#type), ";", escapeField(set.#value), ";", props.join(","), ";");
    };
    // Depth-first without recursion, so that no nesting depth exhausts the stack.
    open(this);
    const stack = [{ set: this, next: 0 }];
    while (stack.length > 0) {
      const top = stack[stack.length - 1];
      if (top.next < top.set.#children.length) {
        const child = top.set.#children[top.next++];
        open(child);
        stack.push({ set: child, next: 0 });
      } else {
        out.push(")");
        stack.pop();
      }
    }
    return out.join("");
  }

  /**
   * Replaces the whole content with the set encoded in `text`. Text that EncodeAsString did not make throws a
   * SyntaxError and leaves the set as it was.
   */
  DecodeFromString(text) {
    const decoded = decodeSet(asText(text));
    this.Reset();
    this.#type = decoded.#type;
    this.#value = decoded.#value;
    this.#properties = decoded.#properties;
    this.#children = decoded.#children;
  }

  // ---- JS accessors ----

  /** The property's value, or undefined when there is none. */
  get(name) {
    return this.#properties.get(asText(name));
  }

  /** Sets a property (see SetProperty); returns the set, for chaining. */
  set(name, value) {
    this.SetProperty(name, value);
    return this;
  }

  has(name) {
    return this.PropertyExists(name);
  }

  delete(name) {
    return this.RemoveProperty(name);
  }

  get size() {
    return this.#properties.size;
  }

  get type() {
    return this.#type;
  }

  set type(type) {
    this.SetType(type);
  }

  get value() {
    return this.#value;
  }

  set value(value) {
    this.SetValue(value);
  }

  /** A frozen snapshot of the children; change them through AddChild, InsertChildAt and RemoveChild. */
  get children() {
    return Object.freeze([...this.#children]);
  }

  /** @returns {IterableIterator<string>} */
  keys() {
    return [...this.#properties.keys()].values();
  }

  /** @returns {IterableIterator<[string, string]>} */
  entries() {
    return [...this.#properties.entries()].values();
  }

  /** Iterates over [name, value] pairs, in insertion order (a snapshot: changes during the loop are not seen). */
  [Symbol.iterator]() {
    return this.entries();
  }

  /** @returns {{type: string, value: string, properties: Record<string, string>, children: object[]}} */
  toJSON() {
    return {
      type: this.#type,
      value: this.#value,
      properties: Object.fromEntries(this.#properties),
      children: this.#children.map((child) => child.toJSON()),
    };
  }

  #acceptsChild(child) {
    return child instanceof PropertySet && child !== this && !child.#contains(this);
  }

  #contains(set) {
    const pending = [...this.#children];
    const seen = new Set();
    while (pending.length > 0) {
      const next = pending.pop();
      if (next === set) return true;
      if (seen.has(next)) continue;
      seen.add(next);
      pending.push(...next.#children);
    }
    return false;
  }

  #childIndex(index) {
    const at = Number(index);
    return Number.isInteger(at) && at >= 0 && at < this.#children.length ? at : -1;
  }

  static {
    // Lets decodeSet, outside the class, fill a set's private fields.
    decodeSet = (text) => {
      const fail = (what, at) => {
        throw new SyntaxError(`DecodeFromString: not a property set made by EncodeAsString (${what} at offset ${at})`);
      };
      if (!text.startsWith(ENCODING_HEADER)) fail(`no "${ENCODING_HEADER}" header`, 0);
      let at = ENCODING_HEADER.length;
      const expect = (c) => {
        if (text[at] !== c) fail(`expected "${c}"`, at);
        at++;
      };
      const field = () => {
        let out = "";
        let start = at;
        while (at < text.length && !DECODE_DELIMITERS.includes(text[at])) {
          if (text[at] !== "%") {
            at++;
            continue;
          }
          out += text.slice(start, at);
          const wide = text[at + 1] === "u";
          const hex = text.slice(at + (wide ? 2 : 1), at + (wide ? 6 : 3));
          if (!/^[0-9A-F]+$/.test(hex) || hex.length !== (wide ? 4 : 2)) fail("a malformed escape", at);
          out += String.fromCharCode(parseInt(hex, 16));
          at += wide ? 6 : 3;
          start = at;
        }
        return out + text.slice(start, at);
      };
      const head = (set) => {
        expect("(");
        set.#type = field();
        expect(";");
        set.#value = field();
        expect(";");
        if (text[at] !== ";") {
          for (;;) {
            const nameAt = at;
            const name = field();
            if (name === "") fail("an empty property name", nameAt);
            if (set.#properties.has(name)) fail(`a repeated property "${name}"`, nameAt);
            expect("=");
            set.#properties.set(name, field());
            if (text[at] !== ",") break;
            at++;
          }
        }
        expect(";");
      };
      const root = new PropertySet();
      head(root);
      const stack = [root];
      while (stack.length > 0) {
        if (text[at] === "(") {
          const child = new PropertySet();
          head(child);
          stack[stack.length - 1].#children.push(child);
          stack.push(child);
        } else {
          expect(")");
          stack.pop();
        }
      }
      if (at !== text.length) fail("text after the end", at);
      return root;
    };
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Services and the application

/**
 * @callback ServiceMethod
 * @param {PropertySet} input the input set the client passed
 * @param {PropertySet} output a fresh output set to fill
 * @returns {PropertySet | null | undefined | Promise<PropertySet | null | undefined>} undefined: `output` is the
 *   answer; a PropertySet: that one is; null: the method has no output set
 */

/**
 * A business service: a name and methods called through InvokeMethod by exact method name. The methods are
 * `methods`'s own or inherited functions (never those of Object.prototype); they run with `this` bound to it.
 */
export class Service {
  #name;
  #methods;

  /**
   * @param {string} name
   * @param {Record<string, ServiceMethod>} methods
   */
  constructor(name, methods) {
    if (typeof name !== "string" || name === "") throw new TypeError("Service: the name must be a non-empty string");
    if (methods === null || typeof methods !== "object") throw new TypeError("Service: methods must be an object");
    this.#name = name;
    this.#methods = methods;
  }

  Name() {
    return this.#name;
  }

  get name() {
    return this.#name;
  }

  /**
   * Calls method `method` with the input set and a fresh output set, and answers the output set (see
   * ServiceMethod). An unknown method, or a method answering anything else, throws.
   * @param {string} method
   * @param {PropertySet} input
   * @returns {Promise<PropertySet | null>}
   */
  async InvokeMethod(method, input) {
    method = asText(method);
    const found =
      !HIDDEN_MEMBERS.has(method.toLowerCase()) &&
      memberLevels(this.#methods).some((level) => Object.hasOwn(level, method));
    const fn = found ? this.#methods[method] : undefined;
    if (typeof fn !== "function") throw new Error(`Service "${this.#name}" has no method "${method}"`);
    const output = new PropertySet();
    const result = await fn.call(this.#methods, input, output);
    if (result === undefined) return output;
    if (result === null || result instanceof PropertySet) return result;
    throw new TypeError(`Method "${method}" of service "${this.#name}" answered neither a PropertySet nor null`);
  }
}

/**
 * @typedef {object} ApplicationOptions
 * @property {string} name what the application's Name() answers
 * @property {Iterable<Service>} [services] the services GetService finds, by their Name()
 * @property {boolean | (() => boolean)} [ready] what IsReady() answers (default true)
 */

/**
 * @typedef {object} PageApplication
 * @property {() => string} Name
 * @property {(name: string) => Service} GetService throws for an unknown name
 * @property {() => PropertySet} NewPropertySet
 * @property {() => boolean} IsReady
 */

/**
 * An application object with the members the server calls.
 * @param {ApplicationOptions} options
 * @returns {PageApplication}
 */
export function createApplication({ name, services = [], ready = true }) {
  if (typeof name !== "string") throw new TypeError("createApplication: name must be a string");
  const byName = new Map();
  for (const service of services) {
    const serviceName = typeof service?.Name === "function" ? service.Name() : undefined;
    if (typeof serviceName !== "string") throw new TypeError("createApplication: a service without a Name()");
    if (byName.has(serviceName)) throw new RangeError(`createApplication: two services named "${serviceName}"`);
    byName.set(serviceName, service);
  }
  return {
    Name: () => name,
    GetService(serviceName) {
      serviceName = asText(serviceName);
      const service = byName.get(serviceName);
      if (service === undefined) throw new Error(`No service "${serviceName}"`);
      return service;
    },
    NewPropertySet: () => new PropertySet(),
    IsReady: () => Boolean(typeof ready === "function" ? ready() : ready),
  };
}

// ---------------------------------------------------------------------------------------------------------------
// Values on the wire

/** A call's failure with the protocol's error kind. */
class CallError extends Error {
  constructor(kind, message) {
    super(message);
    this.kind = kind;
  }
}

/** The value of `brand.call(value)`, or `undefined` when `value` is not of that built-in kind. */
function unbox(brand, value) {
  try {
    return { value: brand.call(value) };
  } catch {
    return undefined;
  }
}

/**
 * The wire form of a page value; `exportObject` turns an object into its id. Functions, arrays, typed arrays,
 * symbols, bigints and invalid dates cannot cross to COM. Boxed strings, numbers and booleans cross as the values
 * they box.
 */
function toWire(value, exportObject) {
  switch (typeof value) {
    case "undefined":
      return { $: "undefined" };
    case "boolean":
      return value;
    case "number":
      return Number.isFinite(value) ? value : { $: "number", v: String(value) };
    case "string":
      return wellFormed(value);
    case "object":
      break;
    default:
      throw new CallError("type-mismatch", `A ${typeof value} cannot be passed to COM`);
  }
  if (value === null) return null;
  if (Array.isArray(value) || ArrayBuffer.isView(value)) {
    throw new CallError("type-mismatch", "An array cannot be passed to COM");
  }
  const time = unbox(Date.prototype.getTime, value);
  if (time !== undefined) {
    if (!Number.isFinite(time.value)) throw new CallError("type-mismatch", "An invalid Date cannot be passed to COM");
    return { $: "date", v: time.value };
  }
  for (const brand of [String.prototype.valueOf, Number.prototype.valueOf, Boolean.prototype.valueOf]) {
    const boxed = unbox(brand, value);
    if (boxed !== undefined) return toWire(boxed.value, exportObject);
  }
  if (unbox(BigInt.prototype.valueOf, value) !== undefined || unbox(Symbol.prototype.valueOf, value) !== undefined) {
    throw new CallError("type-mismatch", "A boxed bigint or symbol cannot be passed to COM");
  }
  return { $: "ref", id: exportObject(value) };
}

const SPECIAL_NUMBERS = new Map([
  ["NaN", NaN],
  ["Infinity", Infinity],
  ["-Infinity", -Infinity],
]);

/** The page value of an argument; `lookup` turns an id into the page's object or undefined. */
function fromWire(value, lookup) {
  if (value === null || typeof value === "boolean" || typeof value === "number" || typeof value === "string") {
    return value;
  }
  if (typeof value === "object" && !Array.isArray(value)) {
    switch (value.$) {
      case "undefined":
        return undefined;
      case "number":
        if (SPECIAL_NUMBERS.has(value.v)) return SPECIAL_NUMBERS.get(value.v);
        break;
      case "date":
        if (typeof value.v === "number" && Number.isFinite(value.v)) return new Date(value.v);
        break;
      case "ref": {
        const object = lookup(value.id);
        if (object === undefined) throw new CallError("unknown-object", `The page no longer holds object ${value.id}`);
        return object;
      }
    }
  }
  throw new CallError("type-mismatch", `An argument the page cannot read: ${JSON.stringify(value)}`);
}

// ---------------------------------------------------------------------------------------------------------------
// Members

// Never reachable by name, whatever their case: calling a constructor on an object re-runs it on that object.
const HIDDEN_MEMBERS = new Set(["constructor", "__proto__"]);

/** Object.prototype of this or another realm (a frame): where member lookup stops. */
function isObjectPrototype(object) {
  return (
    object === Object.prototype ||
    (Object.getPrototypeOf(object) === null &&
      Object.hasOwn(object, "isPrototypeOf") &&
      Object.hasOwn(object, "hasOwnProperty") &&
      Object.hasOwn(object, "__lookupGetter__"))
  );
}

/** The object and its prototypes up to, not including, Object.prototype. */
function memberLevels(target) {
  const levels = [];
  for (let level = target; level !== null && !isObjectPrototype(level); level = Object.getPrototypeOf(level)) {
    levels.push(level);
  }
  return levels;
}

/**
 * The property key that member `name` denotes on `target`: an own or inherited property of exactly that name,
 * else the first whose name matches case-insensitively (own before inherited); null when none does.
 * Object.prototype is never searched.
 */
function resolveMember(target, name) {
  const lower = name.toLowerCase();
  if (HIDDEN_MEMBERS.has(lower)) return null;
  const levels = memberLevels(target);
  if (levels.some((level) => Object.hasOwn(level, name))) return name;
  for (const level of levels) {
    for (const key of Object.getOwnPropertyNames(level)) {
      if (key.toLowerCase() === lower) return key;
    }
  }
  return null;
}

/** Performs one call on a page object; the result awaited when it is a Promise. */
async function invokeMember(target, name, kind, args) {
  if (typeof name !== "string" || name === "") throw new CallError("member-not-found", "A call without a member name");
  const key = resolveMember(target, name);
  if (key === null) throw new CallError("member-not-found", `The page object has no member "${name}"`);
  switch (kind) {
    case "method": {
      const member = Reflect.get(target, key);
      if (typeof member === "function") return await Reflect.apply(member, target, args);
      if (args.length === 0) return member;
      throw new CallError("exception", `"${key}" is a property, not a method: it takes no arguments`);
    }
    case "get":
      if (args.length !== 0) throw new CallError("exception", `Property "${key}" takes no arguments`);
      return Reflect.get(target, key);
    case "put":
      if (args.length !== 1) throw new CallError("exception", `Writing "${key}" takes exactly one value`);
      if (typeof Reflect.get(target, key) === "function") {
        throw new CallError("exception", `"${key}" is a method; it cannot be overwritten`);
      }
      if (!Reflect.set(target, key, args[0])) throw new CallError("exception", `Property "${key}" is read-only`);
      return undefined;
    default:
      throw new CallError("exception", `Unknown call kind "${kind}"`);
  }
}

/** The `error` field of a reply for a thrown value. */
function errorOf(thrown) {
  if (thrown instanceof CallError) return { kind: thrown.kind, message: wellFormed(thrown.message) };
  let message;
  try {
    if (thrown !== null && typeof thrown === "object" && typeof thrown.message === "string") {
      message = thrown.message || String(thrown.name ?? "Error");
    } else {
      message = String(thrown);
    }
  } catch {
    message = "The page's code failed";
  }
  return { kind: "exception", message: wellFormed(message) };
}

// ---------------------------------------------------------------------------------------------------------------
// The object table

/**
 * The page's objects that the connector holds references to. Ids are positive, unique within the connection and
 * never reused; an object keeps its id while it is in the table. Each reference sent counts one export; `release`
 * subtracts what the connector received, and the object leaves the table at 0.
 */
class ObjectTable {
  /** @type {Map<number, {object: object, exports: number}>} */
  #byId = new Map();
  /** @type {Map<object, number>} */
  #idOf = new Map();
  #nextId = 1;

  /** Counts one export of `object` and answers its id. */
  export(object) {
    let id = this.#idOf.get(object);
    if (id === undefined) {
      id = this.#nextId++;
      this.#idOf.set(object, id);
      this.#byId.set(id, { object, exports: 0 });
    }
    this.#byId.get(id).exports++;
    return id;
  }

  /** Takes back an export that was never sent. */
  unexport(id) {
    this.release(id, 1);
  }

  /** @returns {object | undefined} */
  object(id) {
    return this.#byId.get(id)?.object;
  }

  release(id, count) {
    const entry = this.#byId.get(id);
    if (entry === undefined) return;
    entry.exports -= count;
    if (entry.exports <= 0) {
      this.#byId.delete(id);
      this.#idOf.delete(entry.object);
    }
  }

  clear() {
    this.#byId.clear();
    this.#idOf.clear();
  }

  get size() {
    return this.#byId.size;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Connecting

/**
 * @typedef {"not-running" | "origin-refused" | "permission-denied" | "timeout" | "protocol"} ConnectErrorCode
 */

/** Why `connect()` failed: `code` tells the cause, the message what to do about it. */
export class ConnectError extends Error {
  /**
   * @param {ConnectErrorCode} code
   * @param {string} message
   * @param {{cause?: unknown}} [options]
   */
  constructor(code, message, options) {
    super(message, options);
    this.name = "ConnectError";
    /** @type {ConnectErrorCode} */
    this.code = code;
  }
}

/**
 * Why a link ended: `closed` (the page left, or the connector says so), `replaced` (another page attached),
 * `shutdown` (the connector is stopping), `connection-lost` (the socket closed without a word), `error` (the
 * connector reported a failure), `protocol-error` (the connector sent something the page cannot read); a reason
 * word of a later connector passes through as it is.
 * @typedef {"closed" | "replaced" | "shutdown" | "connection-lost" | "error" | "protocol-error" | string} DetachReason
 */

/**
 * @typedef {object} ConnectOptions
 * @property {string} [url] the connector's WebSocket URL, default `DEFAULT_URL`
 * @property {(reason: DetachReason) => void} [onDetach] called when the link ends without the page asking
 * @property {number} [timeout] milliseconds for the whole of connect(), default 10000
 * @property {typeof WebSocket} [WebSocket] the WebSocket class to use, default the global one
 * @property {typeof fetch} [fetch] the fetch function to use, default the global one
 * @property {{query(descriptor: {name: string}): Promise<{state: string}>}} [permissions] default
 *   `navigator.permissions`
 */

/**
 * Attaches `app` to the desktop integration server through the connector.
 *
 * `app` is the page's application object: the server calls its members "Name", "GetService", "NewPropertySet"
 * and "IsReady" (a member that is a plain value is read as a property); see createApplication. The promise
 * resolves once the connector reports the page attached, and rejects with a ConnectError.
 *
 * @param {object} app
 * @param {ConnectOptions} [options]
 * @returns {Promise<Link>}
 */
export async function connect(app, options = {}) {
  if (app === null || typeof app !== "object" || Array.isArray(app)) {
    throw new TypeError("connect: app must be the page's application object");
  }
  const { url = DEFAULT_URL, onDetach, timeout = DEFAULT_TIMEOUT_MS } = options;
  const WebSocketClass = options.WebSocket ?? globalThis.WebSocket;
  const fetchFunction = options.fetch ?? globalThis.fetch;
  const permissions = options.permissions ?? globalThis.navigator?.permissions;
  if (typeof WebSocketClass !== "function") throw new TypeError("connect: no WebSocket; pass options.WebSocket");
  if (typeof fetchFunction !== "function") throw new TypeError("connect: no fetch; pass options.fetch");
  if (onDetach !== undefined && typeof onDetach !== "function") {
    throw new TypeError("connect: onDetach must be a function");
  }
  if (!(typeof timeout === "number" && timeout > 0)) throw new TypeError("connect: timeout must be a positive number");

  let wsUrl;
  try {
    wsUrl = new URL(url);
  } catch {
    throw new TypeError(`connect: "${url}" is not a URL`);
  }
  if (wsUrl.protocol !== "ws:" && wsUrl.protocol !== "wss:") {
    throw new TypeError(`connect: "${url}" is not a ws: or wss: URL`);
  }
  const statusUrl = new URL("/status", wsUrl);
  statusUrl.protocol = wsUrl.protocol === "wss:" ? "https:" : "http:";
  const where = { url: wsUrl.href, status: statusUrl.href, origin: pageOrigin() };

  const abort = new AbortController();
  let timer;
  const expired = new Promise((_, reject) => {
    timer = setTimeout(() => {
      reject(
        new ConnectError(
          "timeout",
          `The Vaduna connector at ${where.url} did not answer within ${timeout / 1000} s. If the browser ` +
            `asks whether this site may reach devices on the local network, allow it and reload; otherwise the ` +
            `connector may be busy: restart ${CONNECTOR_EXE} and try again.`,
        ),
      );
      abort.abort();
    }, timeout);
  });
  try {
    await Promise.race([probeStatus(fetchFunction, permissions, where, abort.signal), expired]);
    return await Promise.race([openLink(app, WebSocketClass, where, onDetach, abort.signal), expired]);
  } finally {
    clearTimeout(timer);
  }
}

function pageOrigin() {
  const origin = globalThis.location?.origin;
  return typeof origin === "string" ? origin : undefined;
}

function isFramed() {
  try {
    return globalThis.window !== undefined && globalThis.window.top !== globalThis.window.self;
  } catch {
    return true;
  }
}

/**
 * Asks /status, which also raises the browser's local network access prompt, and tells apart a connector that
 * does not run, one that refuses this origin, a browser that refuses the access, and a foreign or newer service.
 */
async function probeStatus(fetchFunction, permissions, where, signal) {
  const init = {
    method: "GET",
    cache: "no-store",
    credentials: "omit",
    targetAddressSpace: "loopback",
    signal,
  };
  let response;
  try {
    response = await fetchFunction(where.status, { ...init, mode: "cors" });
  } catch (corsFailure) {
    if (signal.aborted) return;
    // A CORS refusal and an unreachable port look the same to the page; an opaque request tells them apart
    // (browsers reject a no-cors request whose redirect mode is not "follow").
    let reachable = true;
    try {
      await fetchFunction(where.status, { ...init, mode: "no-cors" });
    } catch {
      reachable = false;
    }
    if (signal.aborted) return;
    if (reachable) {
      const origin = where.origin ?? "this page's origin";
      throw new ConnectError(
        "origin-refused",
        `The Vaduna connector at ${where.url} runs but does not accept pages from ${origin}. ` +
          (where.origin === "null"
            ? `A page opened from a file has no origin the connector can allow: serve the page over http(s).`
            : `The site's administrator can allow it by starting the connector with --allow-origin ${origin}.`),
        { cause: corsFailure },
      );
    }
    if (await accessDenied(permissions)) {
      throw new ConnectError(
        "permission-denied",
        `The browser does not let this site reach the Vaduna connector on this computer. Allow the ` +
          `"local network" (or "loopback network") permission for ${where.origin ?? "this site"} in the site ` +
          `settings and reload.` +
          (isFramed() ? ` This page runs in a frame: its <iframe> also needs allow="loopback-network".` : ""),
        { cause: corsFailure },
      );
    }
    throw new ConnectError(
      "not-running",
      `No Vaduna connector answers at ${where.url}. Start ${CONNECTOR_EXE} on this computer (or ` +
        `check the port in the connector URL) and try again.`,
      { cause: corsFailure },
    );
  }
  if (!response.ok) {
    throw new ConnectError(
      "protocol",
      `Something other than the Vaduna connector answers at ${where.status} (HTTP ${response.status}): ` +
        `check the port in the connector URL.`,
    );
  }
  let status;
  try {
    status = await response.json();
  } catch (malformed) {
    if (signal.aborted) return;
    throw new ConnectError("protocol", `The answer of ${where.status} is not JSON: check the port.`, {
      cause: malformed,
    });
  }
  if (status?.service !== STATUS_SERVICE || !Number.isInteger(status.protocol)) {
    throw new ConnectError(
      "protocol",
      `The answer of ${where.status} is not a Vaduna connector's status: check the port in the connector URL.`,
    );
  }
  if (status.protocol !== PROTOCOL_VERSION) {
    throw new ConnectError(
      "protocol",
      `The Vaduna connector at ${where.url} speaks page protocol ${status.protocol}, this page speaks ` +
        `${PROTOCOL_VERSION}: install matching versions of the connector and of vaduna-page.js.`,
    );
  }
}

/** Whether the browser reports the local network access permission as denied (names differ between versions). */
async function accessDenied(permissions) {
  if (typeof permissions?.query !== "function") return false;
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      if ((await permissions.query({ name }))?.state === "denied") return true;
    } catch {
      // A name this browser does not know.
    }
  }
  return false;
}

function openLink(app, WebSocketClass, where, onDetach, signal) {
  return new Promise((resolve, reject) => {
    if (signal.aborted) return;
    let socket;
    try {
      socket = new WebSocketClass(where.url);
    } catch (refused) {
      reject(
        new ConnectError(
          "permission-denied",
          `The browser refused to open a connection to ${where.url}: ${refused?.message ?? refused}`,
          { cause: refused },
        ),
      );
      return;
    }
    const connection = new Connection(socket, app, where.url, onDetach, resolve, reject);
    signal.addEventListener("abort", () => connection.abandon(), { once: true });
  });
}

// ---------------------------------------------------------------------------------------------------------------
// The link

/** One attachment of a page to the server: answers the connector's calls until it ends. */
class Connection {
  table = new ObjectTable();
  /** "opening" (socket not open), "greeting" (hello sent), "attached", "ended" */
  state = "opening";
  leaving = false;
  opened = false;
  /** @type {DetachReason | null} */
  reason = null;
  closeTimer = undefined;

  constructor(socket, app, url, onDetach, resolveAttach, rejectAttach) {
    this.socket = socket;
    this.app = app;
    this.url = url;
    this.onDetach = onDetach;
    this.resolveAttach = resolveAttach;
    this.rejectAttach = rejectAttach;
    this.closed = new Promise((resolve) => (this.resolveClosed = resolve));
    socket.onopen = () => this.opening();
    socket.onmessage = (event) => this.receive(event.data);
    socket.onclose = () => this.end(this.reason ?? (this.leaving ? "closed" : "connection-lost"));
    socket.onerror = () => {}; // a close event follows
  }

  opening() {
    if (this.state !== "opening") return;
    this.opened = true;
    this.state = "greeting";
    const id = this.table.export(this.app);
    if (!this.send({ op: "hello", v: PROTOCOL_VERSION, app: { $: "ref", id } })) this.table.unexport(id);
  }

  receive(data) {
    if (this.state === "ended") return;
    let message;
    try {
      message = typeof data === "string" ? JSON.parse(data) : undefined;
    } catch {
      message = undefined;
    }
    if (message === null || typeof message !== "object" || Array.isArray(message)) {
      this.fail("protocol-error", "The connector sent a frame that is not a JSON object");
      return;
    }
    switch (message.op) {
      case "attached":
        if (this.state !== "greeting") return;
        if (message.v !== PROTOCOL_VERSION) {
          this.fail("protocol-error", `The connector attached the page with protocol ${message.v}`);
          return;
        }
        this.state = "attached";
        this.resolveAttach(new Link(this));
        return;
      case "call":
        this.call(message);
        return;
      case "release":
        if (Number.isSafeInteger(message.count) && message.count > 0) this.table.release(message.id, message.count);
        return;
      case "detached":
        this.end(typeof message.reason === "string" && message.reason !== "" ? message.reason : "closed");
        return;
      case "error":
        this.fail("error", `The connector reported: ${message.message}`);
        return;
      default:
        return; // an op of a later protocol revision
    }
  }

  /** Answers one call. Calls run side by side: each replies when its own member is done. */
  async call(message) {
    const { rid } = message;
    if (!Number.isSafeInteger(rid) || rid <= 0) {
      this.fail("protocol-error", "The connector sent a call without a valid rid");
      return;
    }
    let result;
    try {
      const target = this.table.object(message.target);
      if (target === undefined) {
        throw new CallError("unknown-object", `The page no longer holds object ${message.target}`);
      }
      if (message.args !== undefined && !Array.isArray(message.args)) {
        throw new CallError("type-mismatch", "The call's arguments are not a list");
      }
      const args = (message.args ?? []).map((arg) => fromWire(arg, (id) => this.table.object(id)));
      result = { value: await invokeMember(target, message.member, message.kind, args) };
    } catch (thrown) {
      result = { error: errorOf(thrown) };
    }
    if (this.state === "ended") return;
    this.reply(rid, result);
  }

  reply(rid, result) {
    let exported;
    let frame;
    try {
      frame =
        "error" in result
          ? { op: "reply", rid, error: result.error }
          : { op: "reply", rid, value: toWire(result.value, (object) => (exported = this.table.export(object))) };
    } catch (thrown) {
      frame = { op: "reply", rid, error: errorOf(thrown) };
    }
    const text = JSON.stringify(frame);
    let sent = false;
    if (text.length > MAX_FRAME_BYTES / 3 && utf8Length(text) > MAX_FRAME_BYTES) {
      const message = `The answer is too large to send: the connector takes messages up to ${MAX_FRAME_BYTES} bytes`;
      this.send({ op: "reply", rid, error: { kind: "exception", message } });
    } else {
      sent = this.sendText(text);
    }
    // A reference counts as exported only once it is on the wire.
    if (!sent && exported !== undefined) this.table.unexport(exported);
  }

  /** Sends one message (always well under MAX_FRAME_BYTES); false when the socket is not open. */
  send(message) {
    return this.sendText(JSON.stringify(message));
  }

  sendText(text) {
    if (this.socket.readyState !== WS_OPEN) return false;
    try {
      this.socket.send(text);
      return true;
    } catch {
      return false;
    }
  }

  /** The page leaves: `detach`, then the connector's `detached` or, failing that, our own close. */
  leave() {
    if (this.state === "ended" || this.leaving) return;
    this.leaving = true;
    if (!this.send({ op: "detach" })) {
      this.closeSocket();
      this.end("closed");
      return;
    }
    this.closeTimer = setTimeout(() => {
      this.closeSocket();
      this.end("closed");
    }, CLOSE_TIMEOUT_MS);
  }

  /** Ends the link on the page's side with `reason`. */
  fail(reason, detail) {
    this.detail = detail;
    this.reason = reason;
    this.closeSocket();
    this.end(reason);
  }

  /** connect() gave up (time-out): close quietly. */
  abandon() {
    if (this.state === "ended") return;
    this.leaving = true;
    this.closeSocket();
    this.end("closed");
  }

  closeSocket() {
    if (this.socket.readyState === WS_CLOSED) return;
    try {
      this.socket.close();
    } catch {
      // Already closing.
    }
  }

  end(reason) {
    if (this.state === "ended") return;
    const wasAttached = this.state === "attached";
    this.state = "ended";
    this.reason = reason;
    clearTimeout(this.closeTimer);
    this.table.clear();
    if (!wasAttached) this.rejectAttach(this.attachFailure(reason));
    this.resolveClosed(reason);
    this.closeSocket();
    if (wasAttached && !this.leaving && this.onDetach !== undefined) {
      try {
        this.onDetach(reason);
      } catch (thrown) {
        if (typeof globalThis.reportError === "function") globalThis.reportError(thrown);
        else console.error(thrown);
      }
    }
  }

  attachFailure(reason) {
    if (!this.opened) {
      return new ConnectError(
        "not-running",
        `The Vaduna connector answered its status, but the WebSocket connection to ${this.url} failed. ` +
          `Check that the connector still runs and allows this site, and try again.`,
      );
    }
    if (reason === "error" || reason === "protocol-error") return new ConnectError("protocol", this.detail);
    return new ConnectError(
      "protocol",
      `The Vaduna connector at ${this.url} ended the connection (${reason}) before attaching the page.`,
    );
  }
}

/** A page's attachment, from `connect()`. */
class Link {
  #connection;

  constructor(connection) {
    this.#connection = connection;
  }

  /** The connector's WebSocket URL. */
  get url() {
    return this.#connection.url;
  }

  /** Whether the page is still attached (false once close() was asked for or the link ended). */
  get attached() {
    return this.#connection.state === "attached" && !this.#connection.leaving;
  }

  /** How many page objects the connector holds references to (0 once the link ended). */
  get objectCount() {
    return this.#connection.table.size;
  }

  /**
   * Settles when the link ends, with the reason.
   * @returns {Promise<DetachReason>}
   */
  get closed() {
    return this.#connection.closed;
  }

  /**
   * Detaches the page: sends `detach` and resolves when the connector confirmed or the socket closed (after
   * CLOSE_TIMEOUT_MS at the latest). Resolves with the reason the link ended with.
   * @returns {Promise<DetachReason>}
   */
  close() {
    this.#connection.leave();
    return this.#connection.closed;
  }
}
