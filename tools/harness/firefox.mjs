// Headless Firefox with one page, driven through one WebDriver BiDi session kept open for the run: the
// same methods as Chromium (eval, wait, navigate, reload, close, screenshot, stop; no heap). Firefox
// writes the port it chose for --remote-debugging-port=0 into WebDriverBiDiServer.json in its profile.
import { mkdirSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { writeFile } from "node:fs/promises";
import path from "node:path";

import { openTextClient } from "../websocket.mjs";
import { pause, start, waitFor } from "./processes.mjs";

const ANSWER_MS = 1000 * (Number(process.env.VADUNA_DEVTOOLS_TIMEOUT) || 30);

// No first-run or welcome pages, no updates, no telemetry or studies, no default-browser question: a
// run's page is the only thing the browser does.
const PREFERENCES = {
  "browser.shell.checkDefaultBrowser": false,
  "browser.startup.homepage_override.mstone": "ignore",
  "browser.aboutwelcome.enabled": false,
  "startup.homepage_welcome_url": "",
  "trailhead.firstrun.didSeeAboutWelcome": true,
  "app.update.disabledForTesting": true,
  "app.update.auto": false,
  "datareporting.policy.dataSubmissionEnabled": false,
  "datareporting.healthreport.uploadEnabled": false,
  "toolkit.telemetry.enabled": false,
  "toolkit.telemetry.unified": false,
  "app.shield.optoutstudies.enabled": false,
  "app.normandy.enabled": false,
  "messaging-system.rsexperimentloader.enabled": false,
  "extensions.update.enabled": false,
  "browser.safebrowsing.malware.enabled": false,
  "browser.safebrowsing.phishing.enabled": false,
  "network.captive-portal-service.enabled": false,
  "network.connectivity-service.enabled": false,
};

// A fresh profile each start: an old one's WebDriverBiDiServer.json would name a port long gone.
function writeProfile(profile, preferences) {
  rmSync(profile, { recursive: true, force: true });
  mkdirSync(profile, { recursive: true });
  const lines = Object.entries({ ...PREFERENCES, ...preferences }).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});`);
  writeFileSync(path.join(profile, "user.js"), lines.join("\n") + "\n");
}

export class Firefox {
  // preferences: more of the profile's user.js ({name: value}).
  static async start({ folder, url, args = [], preferences = {} }) {
    mkdirSync(folder, { recursive: true });
    const profile = path.join(folder, "firefox");
    writeProfile(profile, preferences);
    const child = start(
      "firefox-esr",
      ["--headless", "--no-remote", "--profile", profile, "--remote-debugging-port=0", ...args, url],
      { name: "firefox", stdout: path.join(folder, "firefox.log"), stderr: path.join(folder, "firefox.log") },
    );
    const port = await waitFor(
      () => {
        if (!child.alive) throw new Error(`Firefox ended at its start: ${JSON.stringify(child.exit)}`);
        try {
          return JSON.parse(readFileSync(path.join(profile, "WebDriverBiDiServer.json"), "utf8")).ws_port;
        } catch {
          return null;
        }
      },
      { timeoutMs: ANSWER_MS, what: "Firefox's WebDriverBiDiServer.json" },
    );
    const browser = new Firefox(child, profile, port);
    await browser.open();
    return browser;
  }

  constructor(child, profile, port) {
    this.child = child;
    this.profile = profile;
    this.port = port;
    this.context = null;
  }

  async open() {
    let next = 0;
    this.waiting = new Map();
    this.socket = await openTextClient(
      `ws://127.0.0.1:${this.port}/session`,
      (text) => {
        const message = JSON.parse(text);
        if (message.id === undefined) return; // events: none subscribed
        this.waiting.get(message.id)?.(message);
        this.waiting.delete(message.id);
      },
      ANSWER_MS,
    );
    this.post = (method, params) => {
      const id = ++next;
      this.socket.send(JSON.stringify({ id, method, params }));
      return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error(`${method}: no answer within ${ANSWER_MS / 1000} s`)), ANSWER_MS);
        this.waiting.set(id, (message) => {
          clearTimeout(timer);
          resolve(message);
        });
      });
    };
    const { capabilities } = await this.send("session.new", { capabilities: {} });
    this.version = `${capabilities.browserName} ${capabilities.browserVersion}`;
  }

  async send(method, params = {}) {
    const answer = await this.post(method, params);
    if (answer.type === "error") throw new Error(`${method} failed: ${answer.error}: ${answer.message}`);
    return answer.result;
  }

  async contexts() {
    return (await this.send("browsingContext.getTree", { maxDepth: 0 })).contexts;
  }

  // The page's browsing context: the first top-level one (a new tab once the page was closed).
  async page() {
    if (this.context) return this.context;
    const [first] = await this.contexts();
    this.context = first ? first.context : (await this.send("browsingContext.create", { type: "tab" })).context;
    return this.context;
  }

  // The value of expression in the page (promises awaited); JSON-shaped values only.
  async eval(expression) {
    const result = await this.send("script.evaluate", {
      expression: `(async () => JSON.stringify(await (${expression})))()`,
      target: { context: await this.page() },
      awaitPromise: true,
    });
    if (result.type === "exception") throw new Error(`evaluation failed: ${result.exceptionDetails.text}`);
    const text = result.result.value;
    return text === undefined ? undefined : JSON.parse(text);
  }

  // The first truthy value of expression, evaluated every 100 ms for at most seconds.
  async wait(expression, seconds) {
    return waitFor(() => this.eval(expression), { timeoutMs: seconds * 1000, what: expression });
  }

  async navigate(url) {
    await this.send("browsingContext.navigate", { context: await this.page(), url, wait: "complete" });
  }

  async reload() {
    await this.send("browsingContext.reload", { context: await this.page(), wait: "complete" });
  }

  // Closes the page (its tab) and waits until it is gone; returns when it asked (ms since 1970). The
  // browser stays: a new tab is opened, as closing the last tab would end Firefox.
  async close() {
    const context = await this.page();
    await this.send("browsingContext.create", { type: "tab" });
    const asked = Date.now();
    await this.send("browsingContext.close", { context });
    await waitFor(async () => !(await this.contexts()).some((other) => other.context === context), {
      timeoutMs: ANSWER_MS,
      what: "the page's close",
    });
    this.context = null;
    return asked;
  }

  // The page's whole document as PNG, beyond the window too.
  async screenshot(file) {
    const shot = await this.send("browsingContext.captureScreenshot", { context: await this.page(), origin: "document" });
    await writeFile(file, Buffer.from(shot.data, "base64"));
  }

  async stop() {
    this.socket?.close();
    this.socket = null;
    await this.child.stop("SIGTERM", 10_000);
    await pause(0);
  }
}
