// Headless Chromium with one page, driven through one DevTools session kept open for the run. Every
// browser of the harness offers the same methods (eval, wait, navigate, reload, close, screenshot, heap,
// stop); Firefox (firefox.mjs, driven through WebDriver BiDi) is a class like this one.
import { mkdirSync, readFileSync } from "node:fs";
import { writeFile } from "node:fs/promises";
import path from "node:path";

import { openTextClient } from "../websocket.mjs";
import { Firefox } from "./firefox.mjs";
import { pause, start, waitFor } from "./processes.mjs";

const ANSWER_MS = 1000 * (Number(process.env.VADUNA_DEVTOOLS_TIMEOUT) || 30);

async function getJson(url) {
  const answer = await fetch(url, { signal: AbortSignal.timeout(ANSWER_MS) });
  return answer.json();
}

export class Chromium {
  static async start({ folder, url, args = [] }) {
    mkdirSync(folder, { recursive: true });
    const profile = path.join(folder, "chromium");
    const child = start(
      "chromium",
      ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        ...args, `--user-data-dir=${profile}`, "--remote-debugging-port=0", url],
      { name: "chromium", stdout: path.join(folder, "chromium.log"), stderr: path.join(folder, "chromium.log") },
    );
    const browser = new Chromium(child, profile);
    browser.port = await waitFor(
      () => {
        if (!child.alive) throw new Error(`Chromium ended at its start: ${JSON.stringify(child.exit)}`);
        try {
          const [port] = readFileSync(path.join(profile, "DevToolsActivePort"), "utf8").split("\n");
          return /^\d+$/.test(port) ? port : null;
        } catch {
          return null;
        }
      },
      { timeoutMs: ANSWER_MS, what: "Chromium's DevToolsActivePort" },
    );
    browser.version = (await getJson(`http://127.0.0.1:${browser.port}/json/version`)).Browser.replace("/", " ");
    return browser;
  }

  constructor(child, profile) {
    this.child = child;
    this.profile = profile;
    this.session = null;
  }

  async pages() {
    const targets = await getJson(`http://127.0.0.1:${this.port}/json/list`);
    return targets.filter((target) => target.type === "page");
  }

  // The session of the page, opened once (again after the page was closed).
  async page() {
    if (this.session) return this.session;
    const [target] = await waitFor(async () => {
      const pages = await this.pages();
      return pages.length ? pages : null;
    }, { timeoutMs: ANSWER_MS, what: "a page in Chromium" });
    let next = 0;
    const waiting = new Map();
    const socket = await openTextClient(
      target.webSocketDebuggerUrl,
      (text) => {
        const message = JSON.parse(text);
        waiting.get(message.id)?.(message);
        waiting.delete(message.id);
      },
      ANSWER_MS,
    );
    this.session = {
      target,
      send: (method, params = {}) => {
        const id = ++next;
        socket.send(JSON.stringify({ id, method, params }));
        return new Promise((resolve, reject) => {
          const timer = setTimeout(() => reject(new Error(`${method}: no answer within ${ANSWER_MS / 1000} s`)), ANSWER_MS);
          waiting.set(id, (message) => {
            clearTimeout(timer);
            resolve(message);
          });
        });
      },
      close: () => socket.close(),
    };
    return this.session;
  }

  async send(method, params) {
    const answer = await (await this.page()).send(method, params);
    if (answer.error) throw new Error(`${method} failed: ${JSON.stringify(answer.error)}`);
    return answer.result;
  }

  // The value of expression in the page (promises awaited).
  async eval(expression) {
    const result = await this.send("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
    if (result.exceptionDetails) throw new Error(`evaluation failed: ${JSON.stringify(result.exceptionDetails)}`);
    return result.result.value;
  }

  // The first truthy value of expression, evaluated every 100 ms for at most seconds.
  async wait(expression, seconds) {
    return waitFor(() => this.eval(expression), { timeoutMs: seconds * 1000, what: expression });
  }

  async navigate(url) {
    const result = await this.send("Page.navigate", { url });
    if (result.errorText) throw new Error(`navigation failed: ${result.errorText}`);
  }

  async reload() {
    await this.send("Page.reload", { ignoreCache: true });
  }

  // Closes the page (its tab) and waits until it is gone; returns when it asked (ms since 1970).
  async close() {
    const session = await this.page();
    const asked = Date.now();
    // Page.close may not answer before its socket goes with the page.
    session.send("Page.close").catch(() => {});
    await waitFor(async () => !(await this.pages()).some((other) => other.id === session.target.id), {
      timeoutMs: ANSWER_MS,
      what: "the page's close",
    });
    session.close();
    this.session = null;
    return asked;
  }

  // The page's body as PNG, beyond the window too.
  async screenshot(file) {
    const metrics = await this.send("Page.getLayoutMetrics");
    const { width } = metrics.cssContentSize;
    const bodyBottom = await this.eval("document.body ? document.body.getBoundingClientRect().bottom + scrollY : 0");
    const height = bodyBottom > 0 ? bodyBottom : metrics.cssContentSize.height;
    const shot = await this.send("Page.captureScreenshot", {
      format: "png",
      captureBeyondViewport: true,
      clip: { x: 0, y: 0, width: Math.ceil(width), height: Math.ceil(height), scale: 1 },
    });
    await writeFile(file, Buffer.from(shot.data, "base64"));
  }

  // The page's JavaScript heap after a garbage collection: {usedSize, totalSize} in bytes.
  async heap() {
    await this.send("HeapProfiler.collectGarbage");
    const { usedSize, totalSize } = await this.send("Runtime.getHeapUsage");
    return { usedSize, totalSize };
  }

  async stop() {
    this.session?.close();
    this.session = null;
    await this.child.stop("SIGTERM", 10_000);
    await pause(0);
  }
}

export const browsers = { chromium: Chromium, firefox: Firefox };
