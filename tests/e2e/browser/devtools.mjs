#!/usr/bin/env node
// Drives the page of a headless Chromium through the DevTools protocol, for the
// browser end-to-end test. Run with `node --experimental-websocket` (Node 20).
//
//   node --experimental-websocket devtools.mjs USER_DATA_DIR eval EXPRESSION   prints the value (JSON)
//   node --experimental-websocket devtools.mjs USER_DATA_DIR navigate URL
//
// Chromium started with --remote-debugging-port=0 writes its port into
// USER_DATA_DIR/DevToolsActivePort. Every wait is bounded; exit code 1 on failure.

import { readFile } from "node:fs/promises";
import path from "node:path";

const TIMEOUT_MS = 10_000;

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

async function pageSocketUrl(port) {
  const targets = await (await fetch(`http://127.0.0.1:${port}/json/list`)).json();
  const page = targets.find((target) => target.type === "page");
  if (page === undefined) fail("no page target");
  return page.webSocketDebuggerUrl;
}

function session(url) {
  return new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    let next = 0;
    const waiting = new Map();
    socket.onopen = () =>
      resolve({
        send(method, params = {}) {
          const id = ++next;
          socket.send(JSON.stringify({ id, method, params }));
          return new Promise((done) => waiting.set(id, done));
        },
        close: () => socket.close(),
      });
    socket.onerror = () => reject(new Error("cannot reach the page's DevTools socket"));
    socket.onmessage = (event) => {
      const message = JSON.parse(event.data);
      waiting.get(message.id)?.(message);
      waiting.delete(message.id);
    };
  });
}

const [userDataDir, command, argument] = process.argv.slice(2);
if (!userDataDir || !["eval", "navigate"].includes(command) || argument === undefined) {
  fail("usage: devtools.mjs USER_DATA_DIR eval EXPRESSION | navigate URL");
}
const timer = setTimeout(() => fail(`no answer within ${TIMEOUT_MS / 1000} s`), TIMEOUT_MS);
const page = await session(await pageSocketUrl(await devToolsPort(userDataDir)));
if (command === "eval") {
  const answer = await page.send("Runtime.evaluate", { expression: argument, returnByValue: true, awaitPromise: true });
  if (answer.error || answer.result.exceptionDetails) fail(`evaluation failed: ${JSON.stringify(answer)}`);
  process.stdout.write(JSON.stringify(answer.result.result.value) + "\n");
} else {
  const answer = await page.send("Page.navigate", { url: argument });
  if (answer.error) fail(`navigation failed: ${JSON.stringify(answer.error)}`);
}
page.close();
clearTimeout(timer);
