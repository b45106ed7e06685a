// connect(): the one call a page makes to attach.

import { CONNECTOR_EXE, DEFAULT_PORT, PORT_COUNT } from "./contract.js";
import { ConnectError } from "./connect-error.js";
import { Connection } from "./connection.js";
import { findConnector } from "./diagnosis.js";
import { DEFAULT_CONSENT_TIMEOUT_MS, DEFAULT_TIMEOUT_MS, PORT_TIMEOUT_MS } from "./limits.js";

/** @typedef {import("./link.js").Link} Link */
/** @typedef {import("./link.js").DetachReason} DetachReason */
/** @typedef {import("./link.js").LinkStatus} LinkStatus */
/** @typedef {import("./diagnosis.js").Endpoint} Endpoint */

/**
 * The first connector's URL: the one a single user's connector listens on.
 * @type {string}
 */
export const DEFAULT_URL = `ws://127.0.0.1:${DEFAULT_PORT}/`;

/**
 * The loopback ports connectors listen on, in the order connect() tries them: each user's connector takes the
 * first free one.
 * @type {readonly number[]}
 */
export const DEFAULT_PORTS = Object.freeze(Array.from({ length: PORT_COUNT }, (_, i) => DEFAULT_PORT + i));

/**
 * @typedef {object} ConnectOptions
 * @property {string} [url] the connector's WebSocket URL: only that connector is tried. Without it connect()
 *   searches `ports` on 127.0.0.1 and takes the first connector that is this user's.
 * @property {readonly number[]} [ports] the ports to search when there is no `url`, default `DEFAULT_PORTS`
 * @property {number} [portTimeout] milliseconds one port may take before the search tries the next one as well,
 *   default `PORT_TIMEOUT_MS`
 * @property {(reason: DetachReason) => void} [onDetach] called when the link ends without the page asking
 * @property {(state: LinkStatus) => void} [onStatus] called with each state the connector reports:
 *   `consent-pending` (before the page is attached), `server-lost` and `reattached` (while it is)
 * @property {number} [timeout] milliseconds for the whole of connect(), default `DEFAULT_TIMEOUT_MS`
 * @property {number} [consentTimeout] milliseconds to wait for the desktop user's answer once the connector asks
 *   whether this site may attach, default `DEFAULT_CONSENT_TIMEOUT_MS`; the connector hears it in `hello`
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
  const {
    url,
    ports = DEFAULT_PORTS,
    onDetach,
    onStatus,
    timeout = DEFAULT_TIMEOUT_MS,
    consentTimeout = DEFAULT_CONSENT_TIMEOUT_MS,
    portTimeout = PORT_TIMEOUT_MS,
  } = options;
  const WebSocketClass = options.WebSocket ?? globalThis.WebSocket;
  const fetchFunction = options.fetch ?? globalThis.fetch;
  const permissions = options.permissions ?? globalThis.navigator?.permissions;
  if (typeof WebSocketClass !== "function") throw new TypeError("connect: no WebSocket; pass options.WebSocket");
  if (typeof fetchFunction !== "function") throw new TypeError("connect: no fetch; pass options.fetch");
  for (const [name, value] of Object.entries({ onDetach, onStatus })) {
    if (value !== undefined && typeof value !== "function") throw new TypeError(`connect: ${name} must be a function`);
  }
  for (const [name, value] of Object.entries({ timeout, consentTimeout, portTimeout })) {
    if (!(typeof value === "number" && value > 0)) throw new TypeError(`connect: ${name} must be a positive number`);
  }
  const endpoints = url === undefined ? searchEndpoints(ports) : [endpoint(url)];

  const abort = new AbortController();
  const deadline = new Deadline(abort);
  const busy =
    ` If the browser asks whether this site may reach devices on the local network, allow it and reload; ` +
    `otherwise the connector may be busy: restart ${CONNECTOR_EXE} and try again.`;
  const within = `within ${timeout / 1000} s.`;
  deadline.start(timeout, () =>
    endpoints.length === 1
      ? `The Vaduna connector at ${endpoints[0].url} did not answer ${within}${busy}`
      : `No Vaduna connector answered on the ports ${endpoints.map((e) => e.port).join(", ")} ${within}${busy}`,
  );
  try {
    const found = await Promise.race([
      findConnector(fetchFunction, permissions, endpoints, portTimeout, abort.signal),
      deadline.expired,
    ]);
    deadline.describe(() => `The Vaduna connector at ${found.url} did not answer ${within}${busy}`);
    const hooks = {
      onDetach,
      onStatus,
      consentTimeout,
      onConsentPending() {
        deadline.start(
          consentTimeout,
          () =>
            `Nobody answered on the desktop, within ${consentTimeout / 1000} s, whether this site may use the ` +
            `desktop integration. Try again and answer the question the connector shows.`,
        );
      },
    };
    return await Promise.race([openLink(app, WebSocketClass, found, hooks, abort.signal), deadline.expired]);
  } finally {
    deadline.clear();
  }
}

/** connect()'s time limit, which the desktop user's consent question replaces by its own. */
class Deadline {
  #abort;
  #timer = undefined;
  #describe = () => "";
  /** @type {(error: ConnectError) => void} */
  #reject = () => {};

  /** Rejects with the ConnectError `timeout` when the time is up. */
  expired = new Promise((_, reject) => (this.#reject = reject));

  /** @param {AbortController} abort aborted when the time is up */
  constructor(abort) {
    this.#abort = abort;
    this.expired.catch(() => {});
  }

  /** (Re)starts the clock: `ms` from now, then the message `describe` gives. */
  start(ms, describe) {
    clearTimeout(this.#timer);
    this.#describe = describe;
    this.#timer = setTimeout(() => {
      this.#reject(new ConnectError("timeout", this.#describe()));
      this.#abort.abort();
    }, ms);
  }

  describe(describe) {
    this.#describe = describe;
  }

  clear() {
    clearTimeout(this.#timer);
  }
}

/** @returns {Endpoint[]} */
function searchEndpoints(ports) {
  if (!Array.isArray(ports) || ports.length === 0 || !ports.every((p) => Number.isInteger(p) && p > 0 && p < 65536)) {
    throw new TypeError("connect: ports must be a non-empty list of port numbers");
  }
  return ports.map((port) => endpoint(`ws://127.0.0.1:${port}/`));
}

/** @returns {Endpoint} */
function endpoint(url) {
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
  const port = wsUrl.port || (wsUrl.protocol === "wss:" ? "443" : "80");
  return { url: wsUrl.href, status: statusUrl.href, port, origin: pageOrigin() };
}

function pageOrigin() {
  const origin = globalThis.location?.origin;
  return typeof origin === "string" ? origin : undefined;
}

function openLink(app, WebSocketClass, where, hooks, signal) {
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
    const connection = new Connection(socket, app, where.url, hooks, resolve, reject);
    signal.addEventListener("abort", () => connection.abandon(), { once: true });
  });
}
