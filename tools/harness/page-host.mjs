// The classic page host (tools/page_host) on a JScript page: ready once it prints "page host ready",
// stopped through its stop file (it calls OnUnload first), or it stops by itself after lifeSeconds.
import { existsSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import path from "node:path";

import { waitFor } from "./processes.mjs";
import { root, winPath } from "./wine.mjs";

// The JScript page the tests, the demo and the bench share.
export const classicPage = path.join(root, "tools/demo/page.js");

export async function startPageHost(prefix, build, { page = classicPage, log, lifeSeconds = 120, readySeconds = 30 }) {
  const stopFile = `${log}.stop`;
  rmSync(stopFile, { force: true });
  const child = prefix.start(
    path.join(build, "bin", "vaduna_page_host.exe"),
    [winPath(page), "--stop-file", winPath(stopFile), "--seconds", String(lifeSeconds)],
    { name: "page host", stdout: log, stderr: log },
  );
  const text = () => (existsSync(log) ? readFileSync(log, "utf8").replaceAll("\r", "") : "");
  await waitFor(
    () => {
      if (/^page host ready/m.test(text())) return true;
      if (!child.alive) throw new Error(`the page host ended before it was ready: ${text()}`);
      return false;
    },
    { timeoutMs: readySeconds * 1000, what: "the page host's ready line" },
  ).catch((error) => {
    throw new Error(`the page host did not become ready; its output:\n${text()}\n(${error.message})`);
  });
  return {
    child,
    text,
    // Asks it to stop and waits at most seconds; its exit code.
    async stop(seconds = 20) {
      writeFileSync(stopFile, "");
      const exit = await child.wait(seconds * 1000);
      rmSync(stopFile, { force: true });
      if (!exit) throw new Error(`page host did not stop within ${seconds} s`);
      return exit.code;
    },
  };
}
