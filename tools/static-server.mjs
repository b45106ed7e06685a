#!/usr/bin/env node
// Serves the files under ROOT on 127.0.0.1, for the page demo and the browser tests.
//
//   node tools/static-server.mjs ROOT [--port N]     (N = 0 or none: a free port)
//
// Prints "serving http://127.0.0.1:PORT/" once listening and ends on SIGTERM or SIGINT. Only GET and HEAD; a
// directory answers its index.html; nothing outside ROOT is served, through ".." or through a symbolic link.

import { createServer } from "node:http";
import { realpath, stat, open } from "node:fs/promises";
import path from "node:path";

const CONTENT_TYPES = {
  ".html": "text/html; charset=utf-8",
  ".js": "text/javascript; charset=utf-8",
  ".mjs": "text/javascript; charset=utf-8",
  ".css": "text/css; charset=utf-8",
  ".json": "application/json; charset=utf-8",
  ".png": "image/png",
  ".md": "text/markdown; charset=utf-8",
};

function usage(message) {
  process.stderr.write(`static-server: ${message}\nusage: node tools/static-server.mjs ROOT [--port N]\n`);
  process.exit(2);
}

function parseArguments(args) {
  let root;
  let port = 0;
  for (let i = 0; i < args.length; i++) {
    if (args[i] === "--port") {
      const text = args[++i];
      port = Number(text);
      if (!/^\d+$/.test(text ?? "") || port > 65535) usage(`"${text}" is not a port number`);
    } else if (root === undefined && !args[i].startsWith("--")) {
      root = args[i];
    } else {
      usage(`unexpected argument "${args[i]}"`);
    }
  }
  if (root === undefined) usage("no ROOT folder");
  return { root, port };
}

/** The real path of the file a URL path names under `root`, or null when it is not a file there. */
async function resolveFile(root, urlPath) {
  let relative;
  try {
    relative = decodeURIComponent(urlPath);
  } catch {
    return null;
  }
  if (relative.includes("\0") || relative.includes("\\")) return null;
  const segments = relative.split("/").filter((segment) => segment !== "" && segment !== ".");
  if (segments.includes("..")) return null;
  let file = path.join(root, ...segments);
  try {
    if ((await stat(file)).isDirectory()) file = path.join(file, "index.html");
    file = await realpath(file);
  } catch {
    return null;
  }
  // A symbolic link may lead elsewhere: the real path must still lie under the root.
  if (file !== root && !file.startsWith(root + path.sep)) return null;
  return (await stat(file)).isFile() ? file : null;
}

function answer(response, status, text) {
  response.writeHead(status, { "Content-Type": "text/plain; charset=utf-8", "Cache-Control": "no-store" });
  response.end(text + "\n");
}

async function serve(root, request, response) {
  if (request.method !== "GET" && request.method !== "HEAD") {
    response.setHeader("Allow", "GET, HEAD");
    answer(response, 405, "method not allowed");
    return;
  }
  const urlPath = (request.url ?? "/").split(/[?#]/, 1)[0];
  const file = urlPath.startsWith("/") ? await resolveFile(root, urlPath) : null;
  if (file === null) {
    answer(response, 404, "not found");
    return;
  }
  const handle = await open(file, "r");
  try {
    const { size } = await handle.stat();
    response.writeHead(200, {
      "Content-Type": CONTENT_TYPES[path.extname(file).toLowerCase()] ?? "application/octet-stream",
      "Content-Length": size,
      "Cache-Control": "no-store",
      "X-Content-Type-Options": "nosniff",
    });
    if (request.method === "HEAD") {
      response.end();
      return;
    }
    await new Promise((resolve, reject) => {
      const stream = handle.createReadStream({ autoClose: false });
      stream.on("error", reject);
      response.on("close", resolve);
      stream.pipe(response);
    });
  } finally {
    await handle.close();
  }
}

const { root: rootArgument, port } = parseArguments(process.argv.slice(2));
let root;
try {
  root = await realpath(rootArgument);
  if (!(await stat(root)).isDirectory()) throw new Error("not a folder");
} catch (error) {
  usage(`ROOT "${rootArgument}" is not a folder (${error.message})`);
}

const server = createServer((request, response) => {
  serve(root, request, response).catch((error) => {
    if (!response.headersSent) answer(response, 500, "cannot read the file");
    else response.destroy(error);
  });
});
server.on("error", (error) => {
  process.stderr.write(`static-server: ${error.message}\n`);
  process.exit(1);
});
server.listen(port, "127.0.0.1", () => {
  process.stdout.write(`serving http://127.0.0.1:${server.address().port}/\n`);
});

for (const signal of ["SIGTERM", "SIGINT"]) {
  process.on(signal, () => {
    server.close();
    server.closeAllConnections();
    process.exit(0);
  });
}
