// The web side of a run: the static server for the page, the connector on a free port (its log as JSON
// events) and a browser on the page. One function starts what a run asks for; each piece is ready when
// it returns (the static server's "serving" line, the connector's "listening" event, the browser's
// DevTools port).
import { cpSync, mkdirSync, readFileSync } from "node:fs";
import path from "node:path";

import { browsers } from "./chromium.mjs";
import { ConnectorLog, connectorStatus } from "./connector-log.mjs";
import { start, waitFor } from "./processes.mjs";
import { contract } from "../contract.mjs";
import { root } from "./wine.mjs";

export const connectorFile = `${contract.connectorExecutable}.exe`;

// The folder site (made under work) with the page library and the files given ([source, name] pairs).
export function makeSite(work, files = []) {
  const site = path.join(work, "site");
  mkdirSync(site, { recursive: true });
  cpSync(path.join(root, "web/vaduna-page.js"), path.join(site, "vaduna-page.js"));
  cpSync(path.join(root, "web/lib"), path.join(site, "lib"), { recursive: true });
  for (const [source, name] of files) cpSync(source, path.join(site, name ?? path.basename(source)), { recursive: true });
  return site;
}

export async function startStaticServer(work, site) {
  const out = path.join(work, "static.log");
  const child = start("node", [path.join(root, "tools/static-server.mjs"), site, "--port", "0"], {
    name: "static server",
    stdout: out,
    stderr: out,
  });
  const port = await waitFor(
    () => {
      if (!child.alive) throw new Error(`the static server ended: ${readFileSync(out, "utf8")}`);
      return readFileSync(out, "utf8").match(/^serving http:\/\/127\.0\.0\.1:(\d+)\/$/m)?.[1];
    },
    { timeoutMs: 60_000, what: "the static server's start" },
  );
  return { child, origin: `http://127.0.0.1:${port}` };
}

// The connector of prefix on a free port (port null: none given, so the first free one of the
// connectors' range) with args (--allow-origin, --call-timeout), verbose unless told otherwise (a line
// per call costs time), its log as JSON events in work/connector.log.
export async function startConnector(prefix, work, build, args = [], { verbose = true, port = 0 } = {}) {
  const logFile = path.join(work, "connector.log");
  const flags = [...(port === null ? [] : ["--port", String(port)]), "--log-format", "json",
    ...(verbose ? ["--verbose"] : []), ...args];
  const child = prefix.start(path.join(build, "bin", connectorFile), flags, {
    name: "connector",
    stdout: path.join(work, "connector.out"),
    stderr: logFile,
  });
  const log = new ConnectorLog(logFile);
  const listening = await waitFor(
    () => {
      if (!child.alive) throw new Error(`the connector ended at its start (${JSON.stringify(child.exit)}): ${log.text()}`);
      return log.first({ event: "listening" });
    },
    { timeoutMs: 60_000, what: "the connector's listening" },
  );
  return {
    child,
    log,
    port: listening.port,
    url: `ws://127.0.0.1:${listening.port}/`,
    status: () => connectorStatus(listening.port),
    // Ctrl+C ends the connector cleanly: status 0 and its "stopped" event.
    async stop() {
      const exit = await child.stop("SIGINT", 10_000);
      if (exit?.code !== 0) throw new Error(`the connector ended with ${JSON.stringify(exit)}`);
      if (!log.first({ event: "stopped" })) throw new Error("the connector did not log its end");
    },
  };
}

// Starts the static server on site, the connector and, when browser is named, that browser on the page.
// connectorArgs: a function of the site's origin (default: allow that origin). Returns the pieces.
export async function startStack({
  prefix, build, work, site, connectorArgs, verbose, port, browser = "chromium", browserArgs, page = "index.html",
}) {
  const web = await startStaticServer(work, site);
  const args = connectorArgs ? connectorArgs(web.origin) : ["--allow-origin", web.origin];
  const connector = await startConnector(prefix, work, build, args, { verbose, port });
  const stack = {
    web,
    origin: web.origin,
    connector,
    log: connector.log,
    pageUrl: (bridge = connector.url) => `${web.origin}/${page}?bridge=${bridge}`,
  };
  if (browser) {
    stack.browser = await browsers[browser].start({ folder: work, url: stack.pageUrl(), args: browserArgs });
    console.log(`browser: ${stack.browser.version}`);
  }
  return stack;
}
