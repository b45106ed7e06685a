// The system's fixed names and numbers (interface/contract.json) for the Node
// tools and tests, with the forms they are used in.
import { readFileSync } from "node:fs";

export const contractFile = new URL("../interface/contract.json", import.meta.url);
export const contract = JSON.parse(readFileSync(contractFile, "utf8"));

export const serverExe = `${contract.serverExecutable}.exe`;
export const connectorExe = `${contract.connectorExecutable}.exe`;
export const progIds = contract.progIds;
