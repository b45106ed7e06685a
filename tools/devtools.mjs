#!/usr/bin/env node
// Drives the page of a headless Chromium through the DevTools protocol, for the demo and the browser
// end-to-end tests. Node 18 or later; no packages (the WebSocket client is our own, tools/websocket.mjs, so
// that Debian's own Node, which has no WebSocket, works too).
//
//   node tools/devtools.mjs USER_DATA_DIR eval EXPRESSION       prints the value as JSON
//   node tools/devtools.mjs USER_DATA_DIR text EXPRESSION       prints the value, a string, as it is
//   node tools/devtools.mjs USER_DATA_DIR wait EXPRESSION SECONDS
//        evaluates EXPRESSION every 100 ms until its value is truthy, at most SECONDS; prints that value as JSON
//   node tools/devtools.mjs USER_DATA_DIR navigate URL
//   node tools/devtools.mjs USER_DATA_DIR reload
//   node tools/devtools.mjs USER_DATA_DIR close                 closes the page (its tab) and waits until it is
//                                                               gone; prints when it asked (ms since 1970)
//   node tools/devtools.mjs USER_DATA_DIR screenshot FILE.png   the page's body, beyond the window too
//   node tools/devtools.mjs USER_DATA_DIR heap                  the page's JavaScript heap after a garbage
//                                                               collection: {"usedSize": B, "totalSize": B}
//
// Chromium started with --remote-debugging-port=0 writes its port into USER_DATA_DIR/DevToolsActivePort.
// Only 127.0.0.1 is contacted. Every wait is bounded (VADUNA_DEVTOOLS_TIMEOUT seconds, default 30, plus a
// wait's own SECONDS); exit code 1 on failure.

import { readFile, writeFile } from "node:fs/promises";
import http from "node:http";
import path from "node:path";

import { openTextClient } from "./websocket.mjs";

const TIMEOUT_MS = 1000 * (Number(process.env.VADUNA_DEVTOOLS_TIMEOUT) || 30);
const COMMANDS = ["eval", "text", "wait", "navigate", "reload", "close", "screenshot", "heap"];
const WITHOUT_ARGUMENT = ["reload", "close", "heap"];

function fail(message) {
  process.stderr.write(`devtools: ${message}\n`);
  process.exit(1);
}

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

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
    await pause(100);
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

async function pageTargets(port) {
  const targets = await getJson(`http://127.0.0.1:${port}/json/list`);
  return targets.filter((target) => target.type === "page");
}

async function session(url) {
  let next = 0;
  const waiting = new Map();
  const socket = await openTextClient(
    url,
    (text) => {
      const message = JSON.parse(text);
      waiting.get(message.id)?.(message);
      waiting.delete(message.id);
    },
    TIMEOUT_MS,
  );
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

const [userDataDir, command, argument, secondsText] = process.argv.slice(2);
if (!userDataDir || !COMMANDS.includes(command) || (argument === undefined) !== WITHOUT_ARGUMENT.includes(command)) {
  fail(
    "usage: devtools.mjs USER_DATA_DIR eval|text EXPRESSION | wait EXPRESSION SECONDS | navigate URL | reload | " +
      "close | screenshot FILE.png | heap",
  );
}
const waitSeconds = command === "wait" ? Number(secondsText) : 0;
if (command === "wait" && !(waitSeconds > 0)) fail("wait needs a number of seconds");
const limitMs = TIMEOUT_MS + waitSeconds * 1000;
const timer = setTimeout(() => fail(`no answer within ${limitMs / 1000} s`), limitMs);
let port;
let target;
let page;
try {
  port = await devToolsPort(userDataDir);
  [target] = await pageTargets(port);
  if (target === undefined) fail("no page target");
  page = await session(target.webSocketDebuggerUrl);
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
} else if (command === "wait") {
  const deadline = Date.now() + waitSeconds * 1000;
  let value = await evaluate(page, argument);
  while (!value) {
    if (Date.now() > deadline) fail(`${argument} stayed ${JSON.stringify(value)} for ${waitSeconds} s`);
    await pause(100);
    value = await evaluate(page, argument);
  }
  process.stdout.write(JSON.stringify(value) + "\n");
} else if (command === "navigate") {
  const answer = await page.send("Page.navigate", { url: argument });
  if (answer.error) fail(`navigation failed: ${JSON.stringify(answer.error)}`);
} else if (command === "reload") {
  const answer = await page.send("Page.reload", { ignoreCache: true });
  if (answer.error) fail(`reload failed: ${JSON.stringify(answer.error)}`);
} else if (command === "close") {
  // Page.close may not answer before its socket goes with the page: done once the target has left the list.
  const asked = Date.now();
  page.send("Page.close");
  while ((await pageTargets(port)).some((other) => other.id === target.id)) await pause(100);
  process.stdout.write(`${asked}\n`);
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
