// The system's fixed names and numbers (interface/contract.json) for the Node
// tools and tests, with the forms they are used in.
//   node tools/contract.mjs KEY...   prints each value (KEY a dotted path, e.g. progIds.application), one a line,
//                                    for shell scripts
import { readFileSync } from "node:fs";
import { fileURLToPath } from "node:url";

export const contractFile = new URL("../interface/contract.json", import.meta.url);
export const contract = JSON.parse(readFileSync(contractFile, "utf8"));

export const serverExe = `${contract.serverExecutable}.exe`;
export const connectorExe = `${contract.connectorExecutable}.exe`;
export const progIds = contract.progIds;

// The value at a dotted path; throws for a path that names no value, so a misspelt key cannot pass as empty.
export function contractValue(key) {
  const value = key.split(".").reduce((node, part) => (node !== null && typeof node === "object" ? node[part] : undefined), contract);
  if (value === undefined || (value !== null && typeof value === "object")) throw new Error(`no contract value ${key}`);
  return value;
}

// The progIds as script constants: application -> kApplicationProgId, propertySetClassProgId -> kPropertySetClassProgId.
export const progIdConstants = Object.entries(progIds).map(([key, value]) => ({
  name: `k${key[0].toUpperCase()}${key.slice(1)}${key.endsWith("ProgId") ? "" : "ProgId"}`,
  value,
}));

if (process.argv[1] && fileURLToPath(import.meta.url) === process.argv[1]) {
  try {
    for (const key of process.argv.slice(2)) console.log(String(contractValue(key)));
  } catch (error) {
    console.error(error.message);
    process.exit(2);
  }
}
