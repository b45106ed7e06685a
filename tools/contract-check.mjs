// Keeps interface/contract.json the one place where the system's fixed names
// and numbers are written:
//   node tools/contract-check.mjs           fails when a tracked file other than the contract writes one of its
//                                           values by hand, or when web/lib/contract.js is not what the contract
//                                           generates
//   node tools/contract-check.mjs --write   generates web/lib/contract.js again
// Prose (Markdown) may name the values. A line that pins a value on purpose (a test of the value itself) says
// so with the words "pinned on purpose".
import { execFileSync } from "node:child_process";
import { readFileSync, writeFileSync } from "node:fs";
import { fileURLToPath } from "node:url";
import { contract } from "./contract.mjs";

const root = fileURLToPath(new URL("..", import.meta.url));
const webContract = "web/lib/contract.js";

function webContractText() {
  const c = contract.connector;
  return `// Generated from interface/contract.json by tools/contract-check.mjs --write; do not edit.
// The names and numbers that the page library shares with the connector.

/** Version of the protocol between this library and the connector. */
export const PROTOCOL_VERSION = ${JSON.stringify(c.protocolVersion)};

/** The connector's loopback port unless it is told otherwise. */
export const DEFAULT_PORT = ${JSON.stringify(c.defaultPort)};

/** How many ports, from DEFAULT_PORT on, a connector may listen on: each user's takes the first free one. */
export const PORT_COUNT = ${JSON.stringify(c.portCount)};

/** The service name that the connector's /status answers with. */
export const STATUS_SERVICE = ${JSON.stringify(c.statusService)};

/** The connector's executable, for messages that tell the user what to start. */
export const CONNECTOR_EXE = ${JSON.stringify(`${contract.connectorExecutable}.exe`)};
`;
}

if (process.argv.includes("--write")) {
  writeFileSync(new URL(`../${webContract}`, import.meta.url), webContractText());
  process.exit(0);
}

// Every value of the contract that is distinctive enough to find, as a whole word: strings of six characters
// or more (but for the description and the version) and the port.
const values = [];
(function collect(node, path) {
  for (const [key, value] of Object.entries(node)) {
    const where = path ? `${path}.${key}` : key;
    if (["about", "productVersion", "appIdName", "desktop.consentDialogTitle"].includes(where)) continue;  // prose names the product too
    if (value !== null && typeof value === "object") collect(value, where);
    else if (typeof value === "string" && value.length >= 6) values.push({ where, text: value });
  }
})(contract, "");
values.push({ where: "connector.defaultPort", text: String(contract.connector.defaultPort) });

const exempt = new Set(["interface/contract.json", webContract]);
const files = execFileSync("git", ["ls-files", "-co", "--exclude-standard"], { cwd: root, encoding: "utf8" })
  .split("\n")
  .filter((file) => file && !exempt.has(file) && !file.endsWith(".md"));

const escape = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
const patterns = values.map((value) => ({
  ...value,
  regex: new RegExp(`(?<![A-Za-z0-9_])${escape(value.text)}(?![A-Za-z0-9_])`, "i"),
}));

const copies = [];
for (const file of files) {
  let text;
  try {
    text = readFileSync(`${root}/${file}`, "utf8");
  } catch {
    continue;  // deleted in the working tree
  }
  if (text.includes("\0")) continue;
  text.split("\n").forEach((line, index) => {
    if (line.includes("pinned on purpose")) return;
    for (const { where, text: value, regex } of patterns) {
      if (regex.test(line)) copies.push(`${file}:${index + 1}: ${where} ("${value}")`);
    }
  });
}

let failed = false;
if (copies.length > 0) {
  console.error(`Written by hand outside interface/contract.json (read the value from the contract instead):`);
  for (const copy of copies) console.error(`  ${copy}`);
  failed = true;
}
let current = "";
try {
  current = readFileSync(new URL(`../${webContract}`, import.meta.url), "utf8");
} catch {}
if (current !== webContractText()) {
  console.error(`${webContract} is not what the contract generates: run node tools/contract-check.mjs --write`);
  failed = true;
}
if (failed) process.exit(1);
console.log(`contract: ${values.length} values, each written once (${files.length} files read)`);
