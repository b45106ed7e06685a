/**
 * Why connect() failed: `not-running` (no connector of this user's answers), `origin-refused` (the connector does
 * not accept this site), `consent-denied` (the desktop user said no to this site), `permission-denied` (the
 * browser does not let the page reach the connector), `timeout`, `protocol` (something else, or another protocol,
 * answers).
 * @typedef {"not-running" | "origin-refused" | "consent-denied" | "permission-denied" | "timeout" | "protocol"}
 *   ConnectErrorCode
 */
/** Why `connect()` failed: `code` tells the cause, the message what to do about it. */
export class ConnectError extends Error {
    /**
     * @param {ConnectErrorCode} code
     * @param {string} message
     * @param {{cause?: unknown}} [options]
     */
    constructor(code: ConnectErrorCode, message: string, options?: {
        cause?: unknown;
    });
    /** @type {ConnectErrorCode} */
    code: ConnectErrorCode;
}
/**
 * Why connect() failed: `not-running` (no connector of this user's answers), `origin-refused` (the connector does
 * not accept this site), `consent-denied` (the desktop user said no to this site), `permission-denied` (the
 * browser does not let the page reach the connector), `timeout`, `protocol` (something else, or another protocol,
 * answers).
 */
export type ConnectErrorCode = "not-running" | "origin-refused" | "consent-denied" | "permission-denied" | "timeout" | "protocol";
