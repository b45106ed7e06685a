/**
 * The wire form of a page value; `exportObject` turns an object into its id. Functions, arrays, typed arrays,
 * symbols, bigints and invalid dates cannot cross to COM. Boxed strings, numbers and booleans cross as the values
 * they box.
 */
export function toWire(value: any, exportObject: any): any;
/** The page value of an argument; `lookup` turns an id into the page's object or undefined. */
export function fromWire(value: any, lookup: any): any;
