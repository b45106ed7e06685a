/**
 * The text form of a property set, made by EncodeAsString and read by DecodeFromString:
 *
 *     VPS1:(type;value;name=value,name=value;(child)(child))
 *
 * Children are nested inline, so the text grows linearly with depth. In every string the characters
 * `% ( ) ; , =` and the control characters are written `%XX`, and a lone surrogate `%uXXXX`, so any content
 * survives, also through a transport that would replace lone surrogates. Both directions work without recursion,
 * so that no nesting depth exhausts the stack.
 */

/**
 * One set's content, as the encoding reads and makes it.
 * @typedef {object} SetParts
 * @property {string} type
 * @property {string} value
 * @property {Map<string, string>} properties
 * @property {Array<object>} children
 */

const HEADER = "VPS1:";
const ESCAPED = /[%(),;=\x00-\x1F\x7F]|[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;
const DELIMITERS = "();,=";

function escapeField(text) {
  return text.replace(ESCAPED, (c) => {
    const code = c.charCodeAt(0);
    const hex = code.toString(16).toUpperCase();
    return code < 0x100 ? "%" + hex.padStart(2, "0") : "%u" + hex;
  });
}

/**
 * The text of `root` and its children; `partsOf` reads one set.
 * @template S
 * @param {S} root
 * @param {(set: S) => {type: string, value: string, properties: Map<string, string>, children: S[]}} partsOf
 */
export function encodeSet(root, partsOf) {
  const out = [HEADER];
  const open = (set) => {
    const parts = partsOf(set);
    const props = [];
    for (const [name, value] of parts.properties) props.push(escapeField(name) + "=" + escapeField(value));
    out.push("(", escapeField(parts.type), ";", escapeField(parts.value), ";", props.join(","), ";");
    return { children: parts.children, next: 0 };
  };
  const stack = [open(root)];
  while (stack.length > 0) {
    const top = stack[stack.length - 1];
    if (top.next < top.children.length) {
      stack.push(open(top.children[top.next++]));
    } else {
      out.push(")");
      stack.pop();
    }
  }
  return out.join("");
}

/**
 * The content encoded in `text`. Text that encodeSet did not make throws a SyntaxError.
 * @param {string} text
 * @returns {SetParts} children are SetParts too
 */
export function decodeSet(text) {
  const fail = (what, at) => {
    throw new SyntaxError(`DecodeFromString: not a property set made by EncodeAsString (${what} at offset ${at})`);
  };
  if (!text.startsWith(HEADER)) fail(`no "${HEADER}" header`, 0);
  let at = HEADER.length;
  const expect = (c) => {
    if (text[at] !== c) fail(`expected "${c}"`, at);
    at++;
  };
  const field = () => {
    let out = "";
    let start = at;
    while (at < text.length && !DELIMITERS.includes(text[at])) {
      if (text[at] !== "%") {
        at++;
        continue;
      }
      out += text.slice(start, at);
      const wide = text[at + 1] === "u";
      const hex = text.slice(at + (wide ? 2 : 1), at + (wide ? 6 : 3));
      if (!/^[0-9A-F]+$/.test(hex) || hex.length !== (wide ? 4 : 2)) fail("a malformed escape", at);
      out += String.fromCharCode(parseInt(hex, 16));
      at += wide ? 6 : 3;
      start = at;
    }
    return out + text.slice(start, at);
  };
  const head = () => {
    expect("(");
    const parts = { type: field(), value: "", properties: new Map(), children: [] };
    expect(";");
    parts.value = field();
    expect(";");
    if (text[at] !== ";") {
      for (;;) {
        const nameAt = at;
        const name = field();
        if (name === "") fail("an empty property name", nameAt);
        if (parts.properties.has(name)) fail(`a repeated property "${name}"`, nameAt);
        expect("=");
        parts.properties.set(name, field());
        if (text[at] !== ",") break;
        at++;
      }
    }
    expect(";");
    return parts;
  };
  const root = head();
  const stack = [root];
  while (stack.length > 0) {
    if (text[at] === "(") {
      const child = head();
      stack[stack.length - 1].children.push(child);
      stack.push(child);
    } else {
      expect(")");
      stack.pop();
    }
  }
  if (at !== text.length) fail("text after the end", at);
  return root;
}
