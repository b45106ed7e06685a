// A page's attachment as the page sees it: the object connect() resolves with.

/**
 * Why a link ended: `closed` (the page left, or the connector says so), `replaced` (another page attached),
 * `shutdown` (the connector is stopping), `connection-lost` (the socket closed without a word), `error` (the
 * connector reported a failure), `protocol-error` (the connector sent something the page cannot read); a reason
 * word of a later connector passes through as it is.
 * @typedef {"closed" | "replaced" | "shutdown" | "connection-lost" | "error" | "protocol-error" | string} DetachReason
 */

/**
 * A state the connector reports while the link lasts: `consent-pending` (the desktop user is being asked whether
 * this site may attach), `server-lost` (the desktop server ended and the connector is replacing it),
 * `reattached` (the page is attached to the new server, its objects as they were); a state word of a later
 * connector passes through as it is.
 * @typedef {"consent-pending" | "server-lost" | "reattached" | string} LinkStatus
 */

/** A page's attachment, from `connect()`. */
export class Link {
  #connection;

  /** Made by connect(), not by pages. @param {import("./connection.js").Connection} connection */
  constructor(connection) {
    this.#connection = connection;
  }

  /**
   * The connector's WebSocket URL.
   * @returns {string}
   */
  get url() {
    return this.#connection.url;
  }

  /** Whether the page is still attached (false once close() was asked for or the link ended). */
  get attached() {
    return this.#connection.state === "attached" && !this.#connection.leaving;
  }

  /**
   * How many page objects the connector holds references to (0 once the link ended).
   * @returns {number}
   */
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
