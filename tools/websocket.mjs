// A small WebSocket client over node:net (any Node from 18 on, which has no
// WebSocket of its own): the handshake with exactly the headers a caller
// chooses, frames built by hand (also those no WebSocket library sends), and
// the frames that come back, parsed. the harness (tools/harness/chromium.mjs) talks to Chromium with
// it; the browser tests' hostile_client.mjs sends the connector what a page
// never should.

import { createHash, randomBytes } from "node:crypto";
import net from "node:net";

export const OP = { continuation: 0, text: 1, binary: 2, close: 8, ping: 9, pong: 10 };

/**
 * One frame. `payload` is a Buffer or a string (UTF-8); `mask` (default true: a client's frames are masked);
 * `fin` (default true); `length` announces another payload length than the payload's own.
 */
export function frame(opcode, payload = Buffer.alloc(0), { fin = true, mask = true, length } = {}) {
  const data = typeof payload === "string" ? Buffer.from(payload, "utf8") : payload;
  const announced = length ?? data.length;
  let head;
  if (announced < 126) {
    head = Buffer.from([0, announced]);
  } else if (announced < 65536) {
    head = Buffer.alloc(4);
    head[1] = 126;
    head.writeUInt16BE(announced, 2);
  } else {
    head = Buffer.alloc(10);
    head[1] = 127;
    head.writeBigUInt64BE(BigInt(announced), 2);
  }
  head[0] = (fin ? 0x80 : 0) | opcode;
  if (!mask) return Buffer.concat([head, data]);
  head[1] |= 0x80;
  const key = randomBytes(4);
  const masked = Buffer.alloc(data.length);
  for (let i = 0; i < data.length; i++) masked[i] = data[i] ^ key[i & 3];
  return Buffer.concat([head, key, masked]);
}

/** Parses the frames a server sends (unmasked) out of the bytes as they arrive. */
export class FrameReader {
  #pending = Buffer.alloc(0);

  /** Adds bytes; returns the frames now complete, each {fin, opcode, payload}. */
  push(bytes) {
    this.#pending = Buffer.concat([this.#pending, bytes]);
    const frames = [];
    for (;;) {
      const b = this.#pending;
      if (b.length < 2) break;
      let length = b[1] & 0x7f;
      let at = 2;
      if (length === 126) {
        if (b.length < 4) break;
        length = b.readUInt16BE(2);
        at = 4;
      } else if (length === 127) {
        if (b.length < 10) break;
        length = Number(b.readBigUInt64BE(2));
        at = 10;
      }
      const masked = (b[1] & 0x80) !== 0;
      const key = masked ? b.subarray(at, at + 4) : null;
      if (masked) at += 4;
      if (b.length < at + length) break;
      const payload = Buffer.from(b.subarray(at, at + length));
      if (key) for (let i = 0; i < payload.length; i++) payload[i] ^= key[i & 3];
      frames.push({ fin: (b[0] & 0x80) !== 0, opcode: b[0] & 0x0f, payload });
      this.#pending = b.subarray(at + length);
    }
    return frames;
  }
}

/**
 * Opens a TCP connection to 127.0.0.1:port and sends a WebSocket handshake for `path` with the headers given
 * (`origin`: an Origin header, none when undefined). Resolves with {socket, status, head, rest}: the HTTP
 * status of the answer, its head as text, and the bytes after it; the socket is paused (resume() it once
 * listening). A 101 answer must carry the right Sec-WebSocket-Accept. Rejects when nothing complete comes
 * within timeoutMs.
 */
export function handshake({ port, path = "/", origin, timeoutMs = 10_000 }) {
  return new Promise((resolve, reject) => {
    const key = randomBytes(16).toString("base64");
    const socket = net.connect({ host: "127.0.0.1", port });
    let received = Buffer.alloc(0);
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no handshake answer within ${timeoutMs} ms`));
    }, timeoutMs);
    const finish = (error, value) => {
      clearTimeout(timer);
      // Paused until the caller listens: no later byte is lost.
      socket.pause();
      socket.removeAllListeners("data");
      if (error) {
        socket.destroy();
        reject(error);
      } else {
        resolve(value);
      }
    };
    socket.on("error", (error) => finish(error));
    socket.on("connect", () => {
      const lines = [
        `GET ${path} HTTP/1.1`,
        `Host: 127.0.0.1:${port}`,
        "Upgrade: websocket",
        "Connection: Upgrade",
        `Sec-WebSocket-Key: ${key}`,
        "Sec-WebSocket-Version: 13",
      ];
      if (origin !== undefined) lines.push(`Origin: ${origin}`);
      socket.write(lines.join("\r\n") + "\r\n\r\n");
    });
    socket.on("data", (bytes) => {
      received = Buffer.concat([received, bytes]);
      const end = received.indexOf("\r\n\r\n");
      if (end < 0) return;
      const head = received.subarray(0, end).toString("latin1");
      const status = Number(/^HTTP\/1\.1 (\d{3})/.exec(head)?.[1]);
      if (status === 101) {
        const accept = createHash("sha1").update(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest("base64");
        if (!new RegExp(`^sec-websocket-accept: *${accept.replace(/[+/]/g, "\\$&")}\\s*$`, "im").test(head)) {
          finish(new Error(`a 101 answer without the right Sec-WebSocket-Accept:\n${head}`));
          return;
        }
      }
      finish(null, { socket, status, head, rest: received.subarray(end + 4) });
    });
  });
}

/**
 * A text-message client over handshake(): for the DevTools protocol. `onMessage(text)` gets each complete
 * text message; `close()` ends the connection.
 */
export async function openTextClient(url, onMessage, timeoutMs = 10_000) {
  const where = new URL(url);
  const { socket, status, rest } = await handshake({ port: Number(where.port), path: where.pathname, timeoutMs });
  if (status !== 101) {
    socket.destroy();
    throw new Error(`${url} answered the handshake with HTTP ${status}`);
  }
  const reader = new FrameReader();
  let parts = [];
  const take = (bytes) => {
    for (const { fin, opcode, payload } of reader.push(bytes)) {
      if (opcode === OP.text || opcode === OP.continuation) {
        parts.push(payload);
        if (fin) {
          const text = Buffer.concat(parts).toString("utf8");
          parts = [];
          onMessage(text);
        }
      } else if (opcode === OP.ping) {
        socket.write(frame(OP.pong, payload));
      } else if (opcode === OP.close) {
        socket.end();
      }
    }
  };
  socket.on("data", take);
  socket.on("error", () => {});
  if (rest.length > 0) take(rest);
  socket.resume();
  return {
    send: (text) => socket.write(frame(OP.text, text)),
    close: () => {
      socket.write(frame(OP.close, Buffer.from([0x03, 0xe8])));
      socket.end();
      socket.unref(); // the closing handshake is not waited for
    },
  };
}
