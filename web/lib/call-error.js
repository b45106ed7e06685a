// A call's failure as the reply to the connector names it.

import { wellFormed } from "./text.js";

/** A call's failure with the protocol's error kind. */
export class CallError extends Error {
  constructor(kind, message) {
    super(message);
    this.kind = kind;
  }
}

/**
 * The `error` field of a reply for whatever a call threw or rejected with. It never throws: a value that cannot
 * be read (a revoked Proxy, a throwing `message` getter, an object without a string form) still gives an
 * `exception`, so that the call is answered and the client does not wait for its time-out.
 * @returns {{kind: string, message: string}}
 */
export function errorOf(thrown) {
  try {
    if (thrown instanceof CallError) return { kind: thrown.kind, message: wellFormed(thrown.message) };
    return { kind: "exception", message: wellFormed(messageOf(thrown)) };
  } catch {
    return { kind: "exception", message: "The page's code failed" };
  }
}

function messageOf(thrown) {
  if (thrown === null || typeof thrown !== "object") return String(thrown);
  const message = thrown.message;
  if (typeof message !== "string") return String(thrown);
  return message || String(thrown.name ?? "Error");
}
