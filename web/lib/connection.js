// The page's side of one attachment: a state machine over the WebSocket that answers the connector's calls.

import { CallError, errorOf } from "./call-error.js";
import { ConnectError } from "./connect-error.js";
import { PROTOCOL_VERSION } from "./contract.js";
import { CLOSE_TIMEOUT_MS, MAX_FRAME_BYTES } from "./limits.js";
import { Link } from "./link.js";
import { invokeMember } from "./members.js";
import { ObjectTable } from "./object-table.js";
import { utf8Length } from "./text.js";
import { fromWire, toWire } from "./wire-values.js";

/** @typedef {import("./link.js").DetachReason} DetachReason */

const WS_OPEN = 1;
const WS_CLOSED = 3;

/** One attachment of a page to the server: answers the connector's calls until it ends. */
export class Connection {
  table = new ObjectTable();
  /** "opening" (socket not open), "greeting" (hello sent), "attached", "ended" */
  state = "opening";
  leaving = false;
  opened = false;
  /** @type {DetachReason | null} */
  reason = null;
  closeTimer = undefined;

  /**
   * @param {WebSocket} socket
   * @param {object} app
   * @param {string} url
   * @param {{onDetach?: Function, onStatus?: Function, consentTimeout: number, onConsentPending(): void}} hooks
   * @param {(link: Link) => void} resolveAttach
   * @param {(error: ConnectError) => void} rejectAttach
   */
  constructor(socket, app, url, hooks, resolveAttach, rejectAttach) {
    this.socket = socket;
    this.app = app;
    this.url = url;
    this.hooks = hooks;
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
    const hello = { op: "hello", v: PROTOCOL_VERSION, app: { $: "ref", id }, consentTimeout: this.hooks.consentTimeout };
    if (!this.send(hello)) this.table.unexport(id);
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
      case "status":
        // The desktop user is asked first: connect() then waits for that answer instead of its own time-out.
        if (message.state === "consent-pending" && this.state === "greeting") this.hooks.onConsentPending();
        if (typeof message.state === "string" && message.state !== "") this.tell(this.hooks.onStatus, message.state);
        return;
      case "error":
        this.refusal = { code: message.code, message: String(message.message ?? "") };
        this.fail("error", `The connector reported: ${message.message}`);
        return;
      default:
        return; // an op of a later protocol revision
    }
  }

  /**
   * Answers one call. Calls run side by side: each replies when its own member is done. Whatever the member throws
   * or rejects with becomes an error reply (errorOf never throws), so no call is left to the connector's time-out.
   */
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
    let text;
    try {
      const frame =
        "error" in result
          ? { op: "reply", rid, error: result.error }
          : { op: "reply", rid, value: toWire(result.value, (object) => (exported = this.table.export(object))) };
      text = JSON.stringify(frame);
    } catch (thrown) {
      // errorOf never throws and its reply is two strings: this one always goes out.
      text = JSON.stringify({ op: "reply", rid, error: errorOf(thrown) });
      if (exported !== undefined) this.table.unexport(exported);
      exported = undefined;
    }
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
    if (wasAttached && !this.leaving) this.tell(this.hooks.onDetach, reason);
  }

  /** Calls the page's callback; what it throws is reported, not passed on to the socket's event. */
  tell(callback, value) {
    if (callback === undefined) return;
    try {
      callback(value);
    } catch (thrown) {
      if (typeof globalThis.reportError === "function") globalThis.reportError(thrown);
      else console.error(thrown);
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
    if (reason === "error" && this.refusal?.code === "consent-denied") {
      return new ConnectError(
        "consent-denied",
        `The desktop user did not allow this site to use the desktop integration: ${this.refusal.message}`,
      );
    }
    if (reason === "error" || reason === "protocol-error") return new ConnectError("protocol", this.detail);
    return new ConnectError(
      "protocol",
      `The Vaduna connector at ${this.url} ended the connection (${reason}) before attaching the page.`,
    );
  }
}
