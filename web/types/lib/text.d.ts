/** The string with every lone surrogate replaced by U+FFFD, as the wire carries strings. */
export function wellFormed(text: any): any;
/** UTF-8 length of a string (lone surrogates count as the 3 bytes of U+FFFD). */
export function utf8Length(text: any): number;
/** A property name or value: null and undefined read as the empty string, as COM's empty and null values do. */
export function asText(value: any): string;
