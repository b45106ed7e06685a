/** How long `connect()` may take as a whole, in milliseconds, unless `options.timeout` says otherwise. */
export const DEFAULT_TIMEOUT_MS: 10000;
/**
 * How long `connect()` waits for the desktop user's answer once the connector asks whether this site may attach,
 * unless `options.consentTimeout` says otherwise.
 */
export const DEFAULT_CONSENT_TIMEOUT_MS: 60000;
/** How long one port of the search may take to answer before `connect()` tries the next one as well. */
export const PORT_TIMEOUT_MS: 1500;
/**
 * Largest frame the page sends, in UTF-8 bytes. The connector closes the link on a larger frame, so a reply that
 * would exceed it is answered with an error instead: the call fails, the link stays.
 */
export const MAX_FRAME_BYTES: number;
/** How long `link.close()` waits for the connector's `detached` before closing the socket itself. */
export const CLOSE_TIMEOUT_MS: 5000;
