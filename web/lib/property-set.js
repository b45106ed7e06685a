// Property sets: what the server's property set objects stand for on the page.

import { decodeSet, encodeSet } from "./property-set-encoding.js";
import { asText } from "./text.js";

/**
 * A value that a property set keeps as its string (null and undefined as "").
 * @typedef {string | number | boolean | null | undefined} Text
 */

/**
 * @typedef {object} PropertySetInit
 * @property {string} [type]
 * @property {string} [value]
 * @property {Record<string, Text> | Iterable<[string, Text]>} [properties] names and values (made strings)
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

  /**
   * The property's value, or "" when there is none.
   * @param {string} name
   */
  GetProperty(name) {
    return this.#properties.get(asText(name)) ?? "";
  }

  /**
   * Sets a property, adding it at the end or replacing its value in place. The empty name is refused: the
   * iteration members answer "" for "no more properties", so such a property could never be listed.
   * @param {string} name
   * @param {Text} value
   */
  SetProperty(name, value) {
    name = asText(name);
    if (name === "") throw new RangeError("SetProperty: a property name cannot be empty");
    this.#properties.set(name, asText(value));
  }

  /** @param {string} name */
  PropertyExists(name) {
    return this.#properties.has(asText(name));
  }

  /**
   * true when the property was there. A running iteration goes on with the next property.
   * @param {string} name
   */
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

  /** @param {Text} type */
  SetType(type) {
    this.#type = asText(type);
    return true;
  }

  GetValue() {
    return this.#value;
  }

  /** @param {Text} value */
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

  /**
   * Appends a child set; false (nothing added) for anything but a PropertySet, or one that contains this set.
   * @param {PropertySet} child
   */
  AddChild(child) {
    if (!this.#acceptsChild(child)) return false;
    this.#children.push(child);
    return true;
  }

  /**
   * Inserts a child before `index`, clamped to the list (negative: first, past the end: last).
   * @param {PropertySet} child
   * @param {number} index
   */
  InsertChildAt(child, index) {
    if (!(child instanceof PropertySet)) throw new TypeError("InsertChildAt: the child must be a PropertySet");
    if (!this.#acceptsChild(child)) throw new RangeError("InsertChildAt: the child contains this set");
    const at = Math.trunc(Number(index));
    if (Number.isNaN(at)) throw new TypeError("InsertChildAt: the index must be a number");
    this.#children.splice(Math.min(Math.max(at, 0), this.#children.length), 0, child);
  }

  /**
   * Removes the child at `index`; false when there is none.
   * @param {number} index
   */
  RemoveChild(index) {
    const at = this.#childIndex(index);
    if (at < 0) return false;
    this.#children.splice(at, 1);
    return true;
  }

  /**
   * The child at `index`, or null when there is none.
   * @param {number} index
   */
  GetChild(index) {
    const at = this.#childIndex(index);
    return at < 0 ? null : this.#children[at];
  }

  GetChildCount() {
    return this.#children.length;
  }

  /** The whole set, children included, as one string that DecodeFromString reads back exactly. */
  EncodeAsString() {
    return encodeSet(this, PropertySet.#partsOf);
  }

  /**
   * Replaces the whole content with the set encoded in `text`. Text that EncodeAsString did not make throws a
   * SyntaxError and leaves the set as it was.
   * @param {string} text
   */
  DecodeFromString(text) {
    const decoded = decodeSet(asText(text));
    this.Reset();
    const pending = [[this, decoded]];
    while (pending.length > 0) {
      const [set, parts] = pending.pop();
      set.#type = parts.type;
      set.#value = parts.value;
      set.#properties = parts.properties;
      set.#children = parts.children.map((childParts) => {
        const child = new PropertySet();
        pending.push([child, childParts]);
        return child;
      });
    }
  }

  // ---- JS accessors ----

  /**
   * The property's value, or undefined when there is none.
   * @param {string} name
   */
  get(name) {
    return this.#properties.get(asText(name));
  }

  /**
   * Sets a property (see SetProperty); returns the set, for chaining.
   * @param {string} name
   * @param {Text} value
   */
  set(name, value) {
    this.SetProperty(name, value);
    return this;
  }

  /** @param {string} name */
  has(name) {
    return this.PropertyExists(name);
  }

  /** @param {string} name */
  delete(name) {
    return this.RemoveProperty(name);
  }

  get size() {
    return this.#properties.size;
  }

  get type() {
    return this.#type;
  }

  /** @param {Text} type */
  set type(type) {
    this.SetType(type);
  }

  get value() {
    return this.#value;
  }

  /** @param {Text} value */
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

  /** @param {PropertySet} set */
  static #partsOf = (set) => ({
    type: set.#type,
    value: set.#value,
    properties: set.#properties,
    children: set.#children,
  });
}
