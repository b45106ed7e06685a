#!/usr/bin/env node
// A hostile client of the connector: one connection per case, each
// sending what no page of the library sends, each expected to end that
// connection alone, with its close code (or a 403 before the upgrade).
//
//   node hostile_client.mjs PORT ALLOWED_ORIGIN
//
// Prints one line per case; exit code 1 when a case was not answered as expected.

import { FrameReader, OP, frame, handshake } from "../../../tools/websocket.mjs";

const CASE_TIMEOUT_MS = 20_000;
const MIB = 1024 * 1024;

const [portText, allowedOrigin] = process.argv.slice(2);
const port = Number(portText);
if (!(port > 0) || !allowedOrigin) {
  process.stderr.write("usage: node hostile_client.mjs PORT ALLOWED_ORIGIN\n");
  process.exit(2);
}

const text = (message) => frame(OP.text, typeof message === "string" ? message : JSON.stringify(message));

/** Fragments of a text message that together hold `total` bytes, `size` each. */
function* fragments(total, size) {
  const chunk = Buffer.alloc(size, "a");
  for (let sent = 0; sent < total; sent += size) {
    yield frame(sent === 0 ? OP.text : OP.continuation, chunk, { fin: sent + size >= total });
  }
}

// Each case: the frames to send after the handshake, the close code expected, and the text frames (ops)
// expected before the close.
const frameCases = [
  { name: "malformed JSON", frames: [text('{"op": "reply", "rid": ')], code: 1007 },
  { name: "text that is not UTF-8", frames: [frame(OP.text, Buffer.from([0x7b, 0xff, 0xfe, 0x7d]))], code: 1007 },
  { name: "JSON nested 200 deep", frames: [text("[".repeat(200) + "]".repeat(200))], code: 1007 },
  { name: "a JSON value that is not an object", frames: [text("[1, 2, 3]")], code: 1002 },
  {
    name: "a frame announcing 16 MiB + 1 byte",
    frames: [frame(OP.text, Buffer.alloc(1024, "a"), { length: 16 * MIB + 1 })],
    code: 1009,
  },
  { name: "fragments adding up to 17 MiB", frames: () => fragments(17 * MIB, MIB), code: 1009 },
  { name: "an unknown op", frames: [text({ op: "dance", steps: 3 })], code: 1008 },
  { name: "a reply to a call never made", frames: [text({ op: "reply", rid: 7, value: 1 })], code: 1008 },
  { name: "a binary frame", frames: [frame(OP.binary, Buffer.from('{"op":"detach"}'))], code: 1003 },
  { name: "an unmasked frame", frames: [frame(OP.text, '{"op":"detach"}', { mask: false })], code: 1002 },
  {
    name: "a hello of protocol 2",
    frames: [text({ op: "hello", v: 2, app: { $: "ref", id: 1 } })],
    code: 1002,
    before: ["error"],
  },
  { name: "a hello without its application", frames: [text({ op: "hello", v: 1 })], code: 1002 },
  { name: "a hello whose application is not a reference", frames: [text({ op: "hello", v: 1, app: 7 })], code: 1002 },
];

const handshakeCases = [
  { name: "a handshake from a foreign origin", origin: "http://127.0.0.1:1" },
  { name: 'a handshake from origin "null"', origin: "null" },
  { name: "a handshake without an Origin", origin: undefined },
  { name: "a handshake from the allowed origin's host on another scheme", origin: allowedOrigin.replace(/^http:/, "https:") },
];

/** Runs one frame case; resolves with a description of what happened, or rejects. */
async function runFrameCase({ frames, code, before = [] }) {
  const { socket, status, rest } = await handshake({ port, origin: allowedOrigin, timeoutMs: CASE_TIMEOUT_MS });
  if (status !== 101) {
    socket.destroy();
    throw new Error(`the handshake got HTTP ${status}, not 101`);
  }
  return new Promise((resolve, reject) => {
    const reader = new FrameReader();
    const seen = [];
    let closeCode;
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no close within ${CASE_TIMEOUT_MS / 1000} s (frames seen: ${seen.join(", ") || "none"})`));
    }, CASE_TIMEOUT_MS);
    const take = (bytes) => {
      for (const { opcode, payload } of reader.push(bytes)) {
        if (opcode === OP.close) {
          closeCode = payload.length >= 2 ? payload.readUInt16BE(0) : 1005;
          socket.end(frame(OP.close, payload.subarray(0, 2)));
        } else if (opcode === OP.text) {
          let op = "?";
          try {
            op = JSON.parse(payload.toString("utf8")).op;
          } catch {
            // not JSON: recorded as "?"
          }
          seen.push(op);
        } else {
          seen.push(`opcode ${opcode}`);
        }
      }
    };
    socket.on("data", take);
    socket.on("error", () => {}); // the connector may close while we still write: the close frame tells
    socket.on("close", () => {
      clearTimeout(timer);
      if (closeCode === undefined) {
        reject(new Error(`the connection closed without a close frame (frames seen: ${seen.join(", ") || "none"})`));
      } else if (closeCode !== code) {
        reject(new Error(`closed with ${closeCode}, not ${code}`));
      } else if (seen.join(",") !== before.join(",")) {
        reject(new Error(`frames before the close: [${seen.join(", ")}], expected [${before.join(", ")}]`));
      } else {
        resolve(`closed with ${closeCode}` + (before.length > 0 ? ` after ${before.join(", ")}` : ""));
      }
    });
    if (rest.length > 0) take(rest);
    socket.resume();
    (async () => {
      for (const bytes of typeof frames === "function" ? frames() : frames) {
        if (socket.destroyed || socket.writableEnded) return;
        if (!socket.write(bytes)) await new Promise((drained) => socket.once("drain", drained).once("close", drained));
      }
    })();
  });
}

async function runHandshakeCase({ origin }) {
  const { socket, status } = await handshake({ port, origin, timeoutMs: CASE_TIMEOUT_MS });
  socket.destroy();
  if (status !== 403) throw new Error(`HTTP ${status}, not 403`);
  return "refused with 403";
}

let failures = 0;
const report = async (name, run) => {
  try {
    console.log(`ok: ${name}: ${await run()}`);
  } catch (error) {
    failures++;
    console.log(`FAIL: ${name}: ${error.message}`);
  }
};
for (const hostile of frameCases) await report(hostile.name, () => runFrameCase(hostile));
for (const hostile of handshakeCases) await report(hostile.name, () => runHandshakeCase(hostile));
console.log(`${frameCases.length + handshakeCases.length - failures} passed, ${failures} failed`);
process.exit(failures === 0 ? 0 : 1);
