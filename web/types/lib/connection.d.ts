/** One attachment of a page to the server: answers the connector's calls until it ends. */
export class Connection {
    /**
     * @param {WebSocket} socket
     * @param {object} app
     * @param {string} url
     * @param {{onDetach?: Function, onStatus?: Function, consentTimeout: number, onConsentPending(): void}} hooks
     * @param {(link: Link) => void} resolveAttach
     * @param {(error: ConnectError) => void} rejectAttach
     */
    constructor(socket: WebSocket, app: object, url: string, hooks: {
        onDetach?: Function;
        onStatus?: Function;
        consentTimeout: number;
        onConsentPending(): void;
    }, resolveAttach: (link: Link) => void, rejectAttach: (error: ConnectError) => void);
    table: ObjectTable;
    /** "opening" (socket not open), "greeting" (hello sent), "attached", "ended" */
    state: string;
    leaving: boolean;
    opened: boolean;
    /** @type {DetachReason | null} */
    reason: DetachReason | null;
    closeTimer: undefined;
    socket: WebSocket;
    app: object;
    url: string;
    hooks: {
        onDetach?: Function;
        onStatus?: Function;
        consentTimeout: number;
        onConsentPending(): void;
    };
    resolveAttach: (link: Link) => void;
    rejectAttach: (error: ConnectError) => void;
    closed: Promise<any>;
    resolveClosed: (value: any) => void;
    opening(): void;
    receive(data: any): void;
    refusal: {
        code: any;
        message: string;
    } | undefined;
    /**
     * Answers one call. Calls run side by side: each replies when its own member is done. Whatever the member throws
     * or rejects with becomes an error reply (errorOf never throws), so no call is left to the connector's time-out.
     */
    call(message: any): Promise<void>;
    reply(rid: any, result: any): void;
    /** Sends one message (always well under MAX_FRAME_BYTES); false when the socket is not open. */
    send(message: any): boolean;
    sendText(text: any): boolean;
    /** The page leaves: `detach`, then the connector's `detached` or, failing that, our own close. */
    leave(): void;
    /** Ends the link on the page's side with `reason`. */
    fail(reason: any, detail: any): void;
    detail: any;
    /** connect() gave up (time-out): close quietly. */
    abandon(): void;
    closeSocket(): void;
    end(reason: any): void;
    /** Calls the page's callback; what it throws is reported, not passed on to the socket's event. */
    tell(callback: any, value: any): void;
    attachFailure(reason: any): ConnectError;
}
export type DetachReason = import("./link.js").DetachReason;
import { ObjectTable } from "./object-table.js";
import { Link } from "./link.js";
import { ConnectError } from "./connect-error.js";
