// Values on the wire: the JSON form of page values, both ways (see PROTOCOL.md, "Values").

import { CallError } from "./call-error.js";
import { wellFormed } from "./text.js";

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
export function toWire(value, exportObject) {
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
export function fromWire(value, lookup) {
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
