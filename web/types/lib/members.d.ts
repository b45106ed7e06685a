/** The object and its prototypes up to, not including, Object.prototype. */
export function memberLevels(target: any): any[];
/** Performs one call on a page object; the result awaited when it is a Promise. */
export function invokeMember(target: any, name: any, kind: any, args: any): Promise<any>;
export const HIDDEN_MEMBERS: Set<string>;
