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
export function connect(app: object, options?: ConnectOptions): Promise<Link>;
/** @typedef {import("./link.js").Link} Link */
/** @typedef {import("./link.js").DetachReason} DetachReason */
/** @typedef {import("./link.js").LinkStatus} LinkStatus */
/** @typedef {import("./diagnosis.js").Endpoint} Endpoint */
/**
 * The first connector's URL: the one a single user's connector listens on.
 * @type {string}
 */
export const DEFAULT_URL: string;
/**
 * The loopback ports connectors listen on, in the order connect() tries them: each user's connector takes the
 * first free one.
 * @type {readonly number[]}
 */
export const DEFAULT_PORTS: readonly number[];
export type ConnectOptions = {
    /**
     * the connector's WebSocket URL: only that connector is tried. Without it connect()
     * searches `ports` on 127.0.0.1 and takes the first connector that is this user's.
     */
    url?: string | undefined;
    /**
     * the ports to search when there is no `url`, default `DEFAULT_PORTS`
     */
    ports?: readonly number[] | undefined;
    /**
     * milliseconds one port may take before the search tries the next one as well,
     * default `PORT_TIMEOUT_MS`
     */
    portTimeout?: number | undefined;
    /**
     * called when the link ends without the page asking
     */
    onDetach?: ((reason: DetachReason) => void) | undefined;
    /**
     * called with each state the connector reports:
     * `consent-pending` (before the page is attached), `server-lost` and `reattached` (while it is)
     */
    onStatus?: ((state: LinkStatus) => void) | undefined;
    /**
     * milliseconds for the whole of connect(), default `DEFAULT_TIMEOUT_MS`
     */
    timeout?: number | undefined;
    /**
     * milliseconds to wait for the desktop user's answer once the connector asks
     * whether this site may attach, default `DEFAULT_CONSENT_TIMEOUT_MS`; the connector hears it in `hello`
     */
    consentTimeout?: number | undefined;
    /**
     * the WebSocket class to use, default the global one
     */
    WebSocket?: {
        new (url: string | URL, protocols?: string | string[]): WebSocket;
        prototype: WebSocket;
        readonly CONNECTING: 0;
        readonly OPEN: 1;
        readonly CLOSING: 2;
        readonly CLOSED: 3;
    } | undefined;
    /**
     * the fetch function to use, default the global one
     */
    fetch?: typeof fetch | undefined;
    /**
     * default
     * `navigator.permissions`
     */
    permissions?: {
        query(descriptor: {
            name: string;
        }): Promise<{
            state: string;
        }>;
    } | undefined;
};
export type Link = import("./link.js").Link;
export type DetachReason = import("./link.js").DetachReason;
export type LinkStatus = import("./link.js").LinkStatus;
export type Endpoint = import("./diagnosis.js").Endpoint;
