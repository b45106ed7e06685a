import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import { mkdtemp, mkdir, writeFile, symlink, rm } from "node:fs/promises";
import { request } from "node:http";
import { tmpdir } from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";

const SERVER = fileURLToPath(new URL("../../tools/static-server.mjs", import.meta.url));

/** GET or HEAD with the path sent exactly as given (no client-side normalising of "..") */
function get(port, rawPath, method = "GET") {
  return new Promise((resolve, reject) => {
    const req = request({ host: "127.0.0.1", port, path: rawPath, method }, (res) => {
      let body = "";
      res.setEncoding("utf8");
      res.on("data", (chunk) => (body += chunk));
      res.on("end", () => resolve({ status: res.statusCode, type: res.headers["content-type"], body }));
    });
    req.on("error", reject);
    req.end();
  });
}

test("the static server serves files under its root only, with their content types, and ends on SIGTERM", async () => {
  const dir = await mkdtemp(path.join(tmpdir(), "static-server-"));
  const root = path.join(dir, "root");
  await mkdir(path.join(root, "sub"), { recursive: true });
  await writeFile(path.join(root, "index.html"), "<p>Zürich – 東京</p>");
  await writeFile(path.join(root, "sub", "a.mjs"), "export {};");
  await writeFile(path.join(root, "sub", "b.css"), "p{}");
  await writeFile(path.join(root, "sub", "c.json"), "{}");
  await writeFile(path.join(dir, "secret.txt"), "secret");
  await symlink(path.join(dir, "secret.txt"), path.join(root, "link.txt"));

  const server = spawn(process.execPath, [SERVER, root, "--port", "0"], { stdio: ["ignore", "pipe", "inherit"] });
  try {
    const port = await new Promise((resolve, reject) => {
      server.stdout.setEncoding("utf8");
      server.stdout.on("data", (text) => {
        const match = /^serving http:\/\/127\.0\.0\.1:(\d+)\/$/m.exec(text);
        if (match) resolve(Number(match[1]));
      });
      server.on("exit", (code) => reject(new Error(`server exited with ${code}`)));
    });
    const index = await get(port, "/");
    assert.deepEqual([index.status, index.type, index.body], [200, "text/html; charset=utf-8", "<p>Zürich – 東京</p>"]);
    assert.equal((await get(port, "/sub/a.mjs?v=1")).type, "text/javascript; charset=utf-8");
    assert.equal((await get(port, "/sub/b.css")).type, "text/css; charset=utf-8");
    assert.equal((await get(port, "/sub/c.json")).type, "application/json; charset=utf-8");
    assert.equal((await get(port, "/sub/%61.mjs", "HEAD")).status, 200);
    for (const outside of ["/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt", "/..%2fsecret.txt",
      "/..%5csecret.txt", "/link.txt", "/missing.html", "/index.html%00.js"]) {
      const res = await get(port, outside);
      assert.equal(res.status, 404, outside);
      assert.doesNotMatch(res.body, /secret/);
    }
    assert.equal((await get(port, "/", "POST")).status, 405);
  } finally {
    const exited = new Promise((resolve) => server.on("exit", (code, signal) => resolve({ code, signal })));
    server.kill("SIGTERM");
    assert.deepEqual(await exited, { code: 0, signal: null });
    await rm(dir, { recursive: true });
  }
});
