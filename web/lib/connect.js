// connect(): the one call a page makes to attach.

import { CONNECTOR_EXE, DEFAULT_PORT } from "./contract.js";
import { ConnectError } from "./connect-error.js";
import { Connection } from "./connection.js";
import { probeStatus } from "./diagnosis.js";
import { DEFAULT_TIMEOUT_MS } from "./limits.js";

/** @typedef {import("./link.js").Link} Link */
/** @typedef {import("./link.js").DetachReason} DetachReason */

/** Where the connector listens unless told otherwise. */
export const DEFAULT_URL = `ws://127.0.0.1:${DEFAULT_PORT}/`;

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
