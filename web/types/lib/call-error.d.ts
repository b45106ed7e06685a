/**
 * The `error` field of a reply for whatever a call threw or rejected with. It never throws: a value that cannot
 * be read (a revoked Proxy, a throwing `message` getter, an object without a string form) still gives an
 * `exception`, so that the call is answered and the client does not wait for its time-out.
 * @returns {{kind: string, message: string}}
 */
export function errorOf(thrown: any): {
    kind: string;
    message: string;
};
/** A call's failure with the protocol's error kind. */
export class CallError extends Error {
    constructor(kind: any, message: any);
    kind: any;
}
