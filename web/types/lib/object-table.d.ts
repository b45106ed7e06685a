/**
 * The page's objects that the connector holds references to. Ids are positive, unique within the connection and
 * never reused; an object keeps its id while it is in the table. Each reference sent counts one export; `release`
 * subtracts what the connector received, and the object leaves the table at 0.
 */
export class ObjectTable {
    /** Counts one export of `object` and answers its id. */
    export(object: any): number;
    /** Takes back an export that was never sent. */
    unexport(id: any): void;
    /** @returns {object | undefined} */
    object(id: any): object | undefined;
    release(id: any, count: any): void;
    clear(): void;
    get size(): number;
    #private;
}
