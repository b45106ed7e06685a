#!/usr/bin/env node
// Drives the page of a headless Chromium through the DevTools protocol, for the demo and the browser
// end-to-end test. Node 18 or later; no packages (the WebSocket client is the small one below, so that
// Debian's own Node, which has no WebSocket, works too).
//
//   node tools/devtools.mjs USER_DATA_DIR eval EXPRESSION       prints the value as JSON
//   node tools/devtools.mjs USER_DATA_DIR text EXPRESSION       prints the value, a string, as it is
//   node tools/devtools.mjs USER_DATA_DIR navigate URL
//   node tools/devtools.mjs USER_DATA_DIR screenshot FILE.png   the page's body, beyond the window too
//   node tools/devtools.mjs USER_DATA_DIR heap                  the page's JavaScript heap after a garbage
//                                                               collection: {"usedSize": B, "totalSize": B}
//
// Chromium started with --remote-debugging-port=0 writes its port into USER_DATA_DIR/DevToolsActivePort.
// Only 127.0.0.1 is contacted. Every wait is bounded (VADUNA_DEVTOOLS_TIMEOUT seconds, default 30);
// exit code 1 on failure.

import { createHash, randomBytes } from "node:crypto";
import { readFile, writeFile } from "node:fs/promises";
import http from "node:http";
import path from "node:path";

const TIMEOUT_MS = 1000 * (Number(process.env.VADUNA_DEVTOOLS_TIMEOUT) || 30);
const COMMANDS = ["eval", "text", "navigate", "screenshot", "heap"];

function fail(message) {
  process.stderr.write(`devtools: ${message}\n`);
  process.exit(1);
}

async function devToolsPort(userDataDir) {
  const deadline = Date.now() + TIMEOUT_MS;
  for (;;) {
    try {
      const [port] = (await readFile(path.join(userDataDir, "DevToolsActivePort"), "utf8")).split("\n");
      if (/^\d+$/.test(port)) return port;
    } catch {
      // not written yet
    }
    if (Date.now() > deadline) fail("Chromium wrote no DevToolsActivePort");
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

function getJson(url) {
  return new Promise((resolve, reject) => {
    http
      .get(url, (response) => {
        let body = "";
        response.setEncoding("utf8");
        response.on("data", (chunk) => (body += chunk));
        response.on("end", () => {
          try {
            resolve(JSON.parse(body));
          } catch (error) {
            reject(error);
          }
        });
      })
      .on("error", reject);
  });
}

async function pageSocketUrl(port) {
  const targets = await getJson(`http://127.0.0.1:${port}/json/list`);
  const page = targets.find((target) => target.type === "page");
  if (page === undefined) fail("no page target");
  return page.webSocketDebuggerUrl;
}

// ---- A WebSocket client (RFC 6455), enough for the DevTools protocol: text messages, ping, close ----

const HANDSHAKE_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

/** Opens `url` (ws://127.0.0.1:...); resolves with { send(text), close() } and calls onMessage(text). */
function openSocket(url, onMessage) {
  return new Promise((resolve, reject) => {
    const key = randomBytes(16).toString("base64");
    const request = http.request(url.replace(/^ws:/, "http:"), {
      headers: { Connection: "Upgrade", Upgrade: "websocket", "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": key },
    });
    request.on("error", reject);
    request.on("response", (response) => reject(new Error(`the DevTools socket answered HTTP ${response.statusCode}`)));
    request.on("upgrade", (response, socket, head) => {
      const accept = createHash("sha1").update(key + HANDSHAKE_GUID).digest("base64");
      if (response.headers["sec-websocket-accept"] !== accept) {
        socket.destroy();
        reject(new Error("the DevTools socket's handshake is not a WebSocket one"));
        return;
      }
      const frame = (opcode, payload) => {
        const mask = randomBytes(4);
        const length = payload.length;
        const header = Buffer.alloc(length < 126 ? 2 : length < 65536 ? 4 : 10);
        header[0] = 0x80 | opcode;
        if (length < 126) header[1] = 0x80 | length;
        else if (length < 65536) {
          header[1] = 0x80 | 126;
          header.writeUInt16BE(length, 2);
        } else {
          header[1] = 0x80 | 127;
          header.writeBigUInt64BE(BigInt(length), 2);
        }
        const masked = Buffer.from(payload);
        for (let i = 0; i < masked.length; i++) masked[i] ^= mask[i & 3];
        socket.write(Buffer.concat([header, mask, masked]));
      };
      let buffered = head;
      let fragments = [];
      socket.on("data", (chunk) => {
        buffered = Buffer.concat([buffered, chunk]);
        for (;;) {
          if (buffered.length < 2) return;
          const opcode = buffered[0] & 0x0f;
          const fin = (buffered[0] & 0x80) !== 0;
          let length = buffered[1] & 0x7f;
          let at = 2;
          if (length === 126) {
            if (buffered.length < 4) return;
            length = buffered.readUInt16BE(2);
            at = 4;
          } else if (length === 127) {
            if (buffered.length < 10) return;
            length = Number(buffered.readBigUInt64BE(2));
            at = 10;
          }
          if (buffered[1] & 0x80) at += 4; // a server never masks; skip a mask all the same
          if (buffered.length < at + length) return;
          const payload = buffered.subarray(at, at + length);
          buffered = buffered.subarray(at + length);
          if (opcode === 0x9) frame(0xa, payload);
          else if (opcode === 0x8) socket.end();
          else if (opcode === 0x1 || opcode === 0x0) {
            fragments.push(payload);
            if (fin) {
              const text = Buffer.concat(fragments).toString("utf8");
              fragments = [];
              onMessage(text);
            }
          }
        }
      });
      resolve({
        send: (text) => frame(0x1, Buffer.from(text, "utf8")),
        close() {
          frame(0x8, Buffer.alloc(0));
          socket.end();
          socket.unref(); // the closing handshake is not waited for
        },
      });
    });
    request.end();
  });
}

async function session(url) {
  let next = 0;
  const waiting = new Map();
  const socket = await openSocket(url, (text) => {
    const message = JSON.parse(text);
    waiting.get(message.id)?.(message);
    waiting.delete(message.id);
  });
  return {
    send(method, params = {}) {
      const id = ++next;
      socket.send(JSON.stringify({ id, method, params }));
      return new Promise((done) => waiting.set(id, done));
    },
    close: () => socket.close(),
  };
}

async function evaluate(page, expression) {
  const answer = await page.send("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
  if (answer.error || answer.result.exceptionDetails) fail(`evaluation failed: ${JSON.stringify(answer)}`);
  return answer.result.result.value;
}

const [userDataDir, command, argument] = process.argv.slice(2);
if (!userDataDir || !COMMANDS.includes(command) || (argument === undefined) !== (command === "heap")) {
  fail("usage: devtools.mjs USER_DATA_DIR eval|text EXPRESSION | navigate URL | screenshot FILE.png | heap");
}
const timer = setTimeout(() => fail(`no answer within ${TIMEOUT_MS / 1000} s`), TIMEOUT_MS);
let page;
try {
  page = await session(await pageSocketUrl(await devToolsPort(userDataDir)));
} catch (error) {
  fail(`cannot reach the page: ${error.message}`);
}
if (command === "eval") {
  process.stdout.write(JSON.stringify(await evaluate(page, argument)) + "\n");
} else if (command === "text") {
  const value = await evaluate(page, argument);
  if (typeof value !== "string") fail(`the expression's value is not a string: ${JSON.stringify(value)}`);
  process.stdout.write(value.endsWith("\n") || value === "" ? value : value + "\n");
} else if (command === "heap") {
  const collected = await page.send("HeapProfiler.collectGarbage");
  if (collected.error) fail(`no garbage collection: ${JSON.stringify(collected.error)}`);
  const usage = await page.send("Runtime.getHeapUsage");
  if (usage.error) fail(`no heap usage: ${JSON.stringify(usage.error)}`);
  const { usedSize, totalSize } = usage.result;
  process.stdout.write(JSON.stringify({ usedSize, totalSize }) + "\n");
} else if (command === "navigate") {
  const answer = await page.send("Page.navigate", { url: argument });
  if (answer.error) fail(`navigation failed: ${JSON.stringify(answer.error)}`);
} else {
  // The document's full width and its body's height (not the window's), also what lies beyond the window.
  const metrics = await page.send("Page.getLayoutMetrics");
  if (metrics.error) fail(`no layout metrics: ${JSON.stringify(metrics.error)}`);
  const { width } = metrics.result.cssContentSize;
  const bodyBottom = await evaluate(page, "document.body ? document.body.getBoundingClientRect().bottom + scrollY : 0");
  const height = bodyBottom > 0 ? bodyBottom : metrics.result.cssContentSize.height;
  const shot = await page.send("Page.captureScreenshot", {
    format: "png",
    captureBeyondViewport: true,
    clip: { x: 0, y: 0, width: Math.ceil(width), height: Math.ceil(height), scale: 1 },
  });
  if (shot.error) fail(`no screenshot: ${JSON.stringify(shot.error)}`);
  await writeFile(argument, Buffer.from(shot.result.data, "base64"));
}
page.close();
clearTimeout(timer);
