/**
 * A connector to try: its WebSocket URL, its /status URL, its port and the page's origin.
 * @typedef {{url: string, status: string, port: string, origin: string | undefined}} Endpoint
 */
/**
 * What one /status answer says: `mine` (this user's connector, accepting this page), `other-user` (a connector of
 * another user of this computer), `unreachable` (nothing answers, or the browser does not let the page reach it),
 * `origin-refused`, `foreign` (something else answers), `version` (a connector of another protocol).
 * @typedef {{kind: string, endpoint: Endpoint, error?: unknown, protocol?: number, detail?: string}} Finding
 */
/**
 * Asks the /status of `endpoints` in order and answers the first to answer as this user's connector. A port that has
 * not answered within `portTimeout` ms does not hold up the next one, but its answer still counts when it comes (a
 * browser's local network access prompt holds every request until the user answers it). Throws a ConnectError naming what
 * was found when none is this user's; returns undefined once `signal` is aborted.
 * @param {typeof fetch} fetchFunction
 * @param {{query(descriptor: {name: string}): Promise<{state: string}>} | undefined} permissions
 * @param {Endpoint[]} endpoints
 * @param {number} portTimeout
 * @param {AbortSignal} signal
 * @returns {Promise<Endpoint | undefined>}
 */
export function findConnector(fetchFunction: typeof fetch, permissions: {
    query(descriptor: {
        name: string;
    }): Promise<{
        state: string;
    }>;
} | undefined, endpoints: Endpoint[], portTimeout: number, signal: AbortSignal): Promise<Endpoint | undefined>;
/**
 * A connector to try: its WebSocket URL, its /status URL, its port and the page's origin.
 */
export type Endpoint = {
    url: string;
    status: string;
    port: string;
    origin: string | undefined;
};
/**
 * What one /status answer says: `mine` (this user's connector, accepting this page), `other-user` (a connector of
 * another user of this computer), `unreachable` (nothing answers, or the browser does not let the page reach it),
 * `origin-refused`, `foreign` (something else answers), `version` (a connector of another protocol).
 */
export type Finding = {
    kind: string;
    endpoint: Endpoint;
    error?: unknown;
    protocol?: number;
    detail?: string;
};
