// A Wine prefix's registry as its 64-bit reg program exports it (a 32-bit reg would see the 32-bit view,
// where a 64-bit registration is not). One export per look instead of one reg process per key: each Wine
// process start costs, and on a loaded machine one fails now and then, so an export is tried three times.
import { existsSync, readFileSync, rmSync } from "node:fs";

import { winPath } from "./wine.mjs";

export class RegistrySnapshot {
  constructor(text = "") {
    this.keys = new Map();  // lower-case key name -> its .reg lines, "[name]" first
    let lines = null;
    for (const line of text.replace(/^\uFEFF/, "").replaceAll("\r", "").split("\n")) {
      if (line.startsWith("[")) this.keys.set(line.slice(1, -1).toLowerCase(), (lines = [line]));
      else if (lines && line !== "") lines.push(line);
    }
  }

  has(key) {
    return this.keys.has(key.toLowerCase());
  }

  // The .reg text of one key, without its subkeys.
  text(key) {
    return this.keys.get(key.toLowerCase())?.join("\n") ?? `(absent ${key})`;
  }

  // The string value name of key, unescaped; undefined when absent.
  value(key, name) {
    const head = `${JSON.stringify(name)}="`;
    const line = this.keys.get(key.toLowerCase())?.find((l) => l.startsWith(head));
    return line?.slice(head.length, -1).replaceAll(/\\([\\"])/g, "$1");
  }

  // Every line, with the "[name]" of its key.
  *lines() {
    for (const lines of this.keys.values()) for (const line of lines) yield [lines[0], line];
  }
}

// key (with the keys below it) exported into file: its snapshot, an empty one when the key does not exist,
// undefined when it could not be exported. view: 32 or 64 for that registry view.
export async function exportRegistry(prefix, key, file, { view } = {}) {
  rmSync(file, { force: true });
  const args = ["export", key, winPath(file), ...(view ? [`/reg:${view}`] : []), "/y"];
  for (let tries = 0; tries < 3 && !existsSync(file); tries++) await prefix.run("reg", args);
  if (existsSync(file)) return new RegistrySnapshot(readFileSync(file).toString("utf16le"));
  const query = await prefix.run("reg", ["query", key]);
  if (/Unable to find the specified registry key/.test(query.stdout + query.stderr)) return new RegistrySnapshot();
  return undefined;
}
