// The page library's limits and time-outs.

/** How long `connect()` may take as a whole, in milliseconds, unless `options.timeout` says otherwise. */
export const DEFAULT_TIMEOUT_MS = 10_000;

/**
 * How long `connect()` waits for the desktop user's answer once the connector asks whether this site may attach,
 * unless `options.consentTimeout` says otherwise.
 */
export const DEFAULT_CONSENT_TIMEOUT_MS = 60_000;

/** How long one port of the search may take to answer before `connect()` tries the next one as well. */
export const PORT_TIMEOUT_MS = 1_500;

/**
 * Largest frame the page sends, in UTF-8 bytes. The connector closes the link on a larger frame, so a reply that
 * would exceed it is answered with an error instead: the call fails, the link stays.
 */
export const MAX_FRAME_BYTES = 16 * 1024 * 1024;

/** How long `link.close()` waits for the connector's `detached` before closing the socket itself. */
export const CLOSE_TIMEOUT_MS = 5_000;
