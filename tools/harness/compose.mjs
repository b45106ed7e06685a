// A client script as it runs. Wine's script host runs neither .wsf jobs nor ExecuteGlobal, so what clients
// share is put into the script's text at a line of its own:
//   '#include checks.vbs     the checks of tools/clients/checks.vbs
//   '#include contract.vbs   the contract's ProgIDs as constants (kApplicationProgId, kServiceProgId, ...)
//   //#include contract.js   the same for JScript
//   node tools/harness/compose.mjs SCRIPT FOLDER   writes the script so composed into FOLDER, prints its path
import { mkdirSync, readFileSync, writeFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { progIdConstants } from "../contract.mjs";

const root = fileURLToPath(new URL("../..", import.meta.url));

const parts = {
  "checks.vbs": () => readFileSync(path.join(root, "tools/clients/checks.vbs"), "utf8"),
  "contract.vbs": () => progIdConstants.map(({ name, value }) => `Const ${name} = "${value}"`).join("\n"),
  "contract.js": () => progIdConstants.map(({ name, value }) => `var ${name} = ${JSON.stringify(value)};`).join("\n"),
};

// The path of the script to run: script itself when it includes nothing, else its composed copy in folder.
export function composed(script, folder) {
  const text = readFileSync(script, "utf8");
  const marker = /^(?:'|\/\/)#include (\S+)\r?$/gm;
  if (!text.match(marker)) return script;
  const full = text.replace(marker, (line, name) => {
    if (!parts[name]) throw new Error(`${script}: nothing to include as ${name}`);
    return parts[name]().replaceAll(/\r?\n/g, "\r\n");
  });
  mkdirSync(folder, { recursive: true });
  const file = path.join(folder, path.basename(script));
  writeFileSync(file, full);
  return file;
}

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
  const [script, folder] = process.argv.slice(2);
  console.log(composed(path.resolve(script), path.resolve(folder)));
}
