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
