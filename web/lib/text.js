// Strings as the wire and COM take them.

const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;

/** The string with every lone surrogate replaced by U+FFFD, as the wire carries strings. */
export function wellFormed(text) {
  return typeof text.toWellFormed === "function" ? text.toWellFormed() : text.replace(LONE_SURROGATE, "\uFFFD");
}

/** UTF-8 length of a string (lone surrogates count as the 3 bytes of U+FFFD). */
export function utf8Length(text) {
  let bytes = 0;
  for (let i = 0; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c < 0x80) bytes += 1;
    else if (c < 0x800) bytes += 2;
    else if (c >= 0xd800 && c <= 0xdbff && i + 1 < text.length && (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      bytes += 4;
      i++;
    } else bytes += 3;
  }
  return bytes;
}

/** A property name or value: null and undefined read as the empty string, as COM's empty and null values do. */
export function asText(value) {
  return value === null || value === undefined ? "" : String(value);
}
