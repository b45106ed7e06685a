// The registry entries a registration writes (the server's own switches, the installer's packages),
// compared with a Wine prefix's registry, for the machine's classes or the current user's
// (HKEY_CURRENT_USER\Software\Classes).
import { writeFileSync } from "node:fs";
import path from "node:path";

import { contract, progIds } from "../../../tools/contract.mjs";
import { RegistrySnapshot, exportRegistry, run } from "../../../tools/harness/index.mjs";

export const machineRoot = "HKEY_CLASSES_ROOT";
export const userRoot = "HKEY_CURRENT_USER\\Software\\Classes";
const categories = ["{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "{7DD95802-9882-11CF-9FA9-00AA006C42C4}"];

// The identifiers as the command line gives them (APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE IID...),
// braced.
export function idsFrom(args) {
  const [appId, libId, application, propertySet, service, ...interfaces] = args.map((id) => `{${id}}`);
  return { appId, libId, application, propertySet, service, interfaces };
}

export class Registration {
  // tally counts the failures; work holds the exports; serverPath: the registered server file as Windows
  // names it (set before checkRegistered).
  constructor(prefix, work, ids, tally) {
    Object.assign(this, { prefix, work, ids, tally, serverPath: undefined });
  }

  // Per class: CLSID, versioned and plain ProgID, their description, the class's description, the ProgID
  // and version-independent ProgID the class names.
  classes() {
    const { application, propertySet, service } = this.ids;
    const p = progIds;
    return [
      [application, p.applicationVersioned, p.application, "VadunaHTMLApplication Class", "Vaduna Desktop Integration",
        p.applicationVersioned, p.application],
      [propertySet, p.propertySetVersioned, p.propertySet, "VadunaPropertySet Class", "VadunaPropertySet Class",
        p.propertySetClassProgId, p.propertySet],
      [service, p.serviceVersioned, p.service, "VadunaService Class", "VadunaService Class", p.serviceVersioned, p.service],
    ];
  }

  // Our keys with their .reg text, in order.
  expected(root) {
    const quoted = (text) => JSON.stringify(text);
    const appId = this.ids.appId;
    const listing = [[`${root}\\AppID\\${appId}`, `@=${quoted(contract.appIdName)}`],
      [`${root}\\AppID\\${contract.serverExecutable}.EXE`, `"AppID"=${quoted(appId)}`]];
    for (const [clsid, p1, p2, description, classDescription, v1, v2] of this.classes()) {
      const key = `${root}\\CLSID\\${clsid}`;
      listing.push(
        [`${root}\\${p1}`, `@=${quoted(description)}`], [`${root}\\${p1}\\CLSID`, `@=${quoted(clsid)}`],
        [`${root}\\${p2}`, `@=${quoted(description)}`], [`${root}\\${p2}\\CLSID`, `@=${quoted(clsid)}`],
        [key, `@=${quoted(classDescription)}`, `"AppID"=${quoted(appId)}`],
        [`${key}\\ProgID`, `@=${quoted(v1)}`],
        [`${key}\\VersionIndependentProgID`, `@=${quoted(v2)}`],
        [`${key}\\LocalServer32`, `@=${quoted(`"${this.serverPath}"`)}`]);
    }
    return listing;
  }

  // The snapshot of root, or an empty one after counting the failure to export it.
  async snapshot(root) {
    const found = await exportRegistry(this.prefix, root, path.join(this.work, "export.reg"));
    if (!found) this.tally.fail(`could not export ${root}`);
    return found ?? new RegistrySnapshot();
  }

  async checkRegistered(label, root = machineRoot) {
    const { tally, ids } = this;
    const found = await this.snapshot(root);
    const listing = this.expected(root);
    const expected = listing.flatMap(([key, ...values]) => [`[${key}]`, ...values]);
    const actual = listing.flatMap(([key]) => found.text(key).split("\n"));
    if (expected.join("\n") !== actual.join("\n")) {
      tally.fail(`${label}: registry differs from the expected entries`);
      const [want, got] = [["expected", expected], ["actual", actual]].map(([name, lines]) => {
        const file = path.join(this.work, `${name}.txt`);
        writeFileSync(file, lines.join("\n") + "\n");
        return file;
      });
      console.log((await run("diff", [want, got])).stdout);
    }
    for (const category of categories) {
      tally.check(found.has(`${root}\\CLSID\\${ids.application}\\Implemented Categories\\${category}`),
        `${label}: category ${category} of the application class missing`);
    }
    for (const other of [ids.propertySet, ids.service]) {
      tally.check(!found.has(`${root}\\CLSID\\${other}\\Implemented Categories`), `${label}: class ${other} has categories`);
    }
    tally.check(found.has(`${root}\\TypeLib\\${ids.libId}\\1.0`), `${label}: type library not registered`);
    tally.check(found.has(`${root}\\TypeLib\\${ids.libId}\\1.0\\409\\win32`),
      `${label}: type library not registered for 32-bit clients`);
    for (const iid of ids.interfaces) {
      tally.check(found.has(`${root}\\Interface\\${iid}\\TypeLib`), `${label}: interface ${iid} not registered`);
    }
  }

  async checkUnregistered(label, root = machineRoot) {
    const { tally, ids } = this;
    const found = await this.snapshot(root);
    for (const [key] of this.expected(root)) tally.check(!found.has(key), `${label}: ${key} remains`);
    tally.check(!found.has(`${root}\\TypeLib\\${ids.libId}`), `${label}: type library remains`);
    for (const iid of ids.interfaces) {
      tally.check(!found.has(`${root}\\Interface\\${iid}`), `${label}: interface ${iid} remains`);
    }
    if (root !== machineRoot) return;
    tally.check(found.has(`${root}\\AppID`), `${label}: the shared AppID key was removed`);
    tally.check(found.has(`${root}\\CLSID`), `${label}: the shared CLSID key was removed`);
  }
}
