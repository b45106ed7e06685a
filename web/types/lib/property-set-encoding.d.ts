/**
 * The text of `root` and its children; `partsOf` reads one set.
 * @template S
 * @param {S} root
 * @param {(set: S) => {type: string, value: string, properties: Map<string, string>, children: S[]}} partsOf
 */
export function encodeSet<S>(root: S, partsOf: (set: S) => {
    type: string;
    value: string;
    properties: Map<string, string>;
    children: S[];
}): string;
/**
 * The content encoded in `text`. Text that encodeSet did not make throws a SyntaxError.
 * @param {string} text
 * @returns {SetParts} children are SetParts too
 */
export function decodeSet(text: string): SetParts;
/**
 * One set's content, as the encoding reads and makes it.
 */
export type SetParts = {
    type: string;
    value: string;
    properties: Map<string, string>;
    children: Array<object>;
};
