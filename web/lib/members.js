// Member lookup and calls on page objects, by the names the connector sends.

import { CallError } from "./call-error.js";

// Never reachable by name, whatever their case: calling a constructor on an object re-runs it on that object.
export const HIDDEN_MEMBERS = new Set(["constructor", "__proto__"]);

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
export function memberLevels(target) {
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
export async function invokeMember(target, name, kind, args) {
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
