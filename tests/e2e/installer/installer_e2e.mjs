// Installs and uninstalls the two packages of the build with Wine's msiexec, in a fresh Wine prefix of its
// own (one for both: each uninstallation must leave the prefix as it found it, which the next part then
// relies on):
//   - the packages' secure properties and elevation;
//   - a wrong origin refuses the installation and leaves nothing behind;
//   - machine-wide: the files under Program Files, the machine's registration exactly as /RegServer writes
//     it, /Diagnose content, a VBScript client that activates the installed server, the Run entry with the
//     configured port and origins, from which a logon (a new Wine session) starts the connector; a
//     reinstallation given other origins and no port changes the origins and keeps the port; after
//     uninstalling, nothing in either registry view names us, and drive C: holds what it held before;
//   - the same for the current user's package: its files in the user's local programs folder, the
//     registration under HKEY_CURRENT_USER\Software\Classes with the machine's classes untouched; a
//     reinstallation given no settings keeps them. (Wine does not merge the user's classes into
//     HKEY_CLASSES_ROOT: no client activation is shown there.)
//   node installer_e2e.mjs WORK_DIR MACHINE_MSI USER_MSI BIN_DIR APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE IID...
//   BIN_DIR: the built server and connector, which the packages must carry unchanged
import { existsSync, readFileSync, readdirSync, rmSync } from "node:fs";
import { createServer } from "node:net";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { contract, progIds } from "../../../tools/contract.mjs";
import {
  Tally, WinePrefix, exportRegistry, root, run, runCase, runClient, start, waitFor, winPath,
} from "../../../tools/harness/index.mjs";
import { Registration, idsFrom, userRoot } from "../registration/registration_listing.mjs";

const here = path.dirname(fileURLToPath(import.meta.url));
const [work, machineMsi, userMsi, bin] = process.argv.slice(2, 6).map((arg) => path.resolve(arg));
const idArgs = process.argv.slice(6);
const prefix = new WinePrefix(path.join(work, "wineprefix"));
const ids = idsFrom(idArgs);
const tally = new Tally();
const registration = new Registration(prefix, work, ids, tally);

const serverName = `${contract.serverExecutable}.exe`;
const connectorName = `${contract.connectorExecutable}.exe`;
const windowlessName = `${contract.connectorWindowlessExecutable}.exe`;
const sitesKey = `HKCU\\${contract.settingsKey}\\${contract.desktop.sitesSubkey}`;
const runKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const uninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const machineDirWin = "C:\\Program Files\\Vaduna\\Desktop Integration";
const machineDir = path.join(prefix.folder, "drive_c/Program Files/Vaduna/Desktop Integration");
const originsMachine = "https://app.example.com, http://127.0.0.1:8080";
const originsUser = "https://app.example.com";

const started = Date.now();
const phase = (text) => console.log(`[${Math.floor((Date.now() - started) / 1000)} s] ${text}`);

async function settle(label) {
  const left = await prefix.settle(label, 120);
  const commands = left.map((p) => p.command).join(";");
  tally.check(!left.length, `${label}: programs of the prefix still running after 120 s: ${commands}`);
}

// msiexec's exit code; its verbose log goes to work/log. It starts on a settled prefix, and the next step
// waits until it has wholly ended.
async function msiexec(operation, msi, log, ...properties) {
  await settle(`before msiexec ${operation} (${log})`);
  const args = [operation, winPath(msi), "/qn", "/l*v", winPath(path.join(work, log)), ...properties];
  const child = prefix.start("msiexec", args);
  const exit = (await child.wait(300_000)) ?? (await child.stop());
  await settle(`after msiexec ${operation} (${log})`);
  return exit.code;
}

// The Property table of a package. Only a line's own CR goes: one inside a value is a fault to show.
async function packageProperties(msi) {
  const { stdout } = await run("msiinfo", ["export", msi, "Property"], { raw: true });
  return new Map(stdout.split(/\r?\n/).map((line) => line.split("\t")));
}

// What a package declares before anything runs: the connector's settings reach the elevated part of an
// installation (secure properties, each one a well-formed name), and whether the package asks for elevation
// (the summary's word count: 2 compressed, 10 compressed and no elevation).
async function checkPackage(label, properties, msi, wordCount) {
  const names = properties.get("SecureCustomProperties") ?? "";
  for (const name of ["ALLOWED_ORIGINS", "CONNECTOR_PORT"]) {
    tally.check(names.split(";").includes(name), `${label}: ${name} is not a secure property: ${names}`);
  }
  tally.check(names.split(";").every((n) => /^[A-Za-z_][A-Za-z0-9_.]*$/.test(n)),
    `${label}: a malformed secure property: ${names}`);
  const { stdout } = await run("msiinfo", ["suminfo", msi]);
  const count = parseInt(stdout.match(/^Source: *(\S*)/m)?.[1] ?? "", 10);
  tally.check(count === wordCount, `${label}: word count ${count}, expected ${wordCount}`);
}

// A free loopback port, as the system hands one out.
const freePort = () => new Promise((resolve) => {
  const server = createServer().listen(0, "127.0.0.1", () => {
    const { port } = server.address();
    server.close(() => resolve(port));
  });
});

// What the packages carry from web/, as the package source names it.
const webFiles = [...readFileSync(path.join(root, "installer/vaduna.wxs"), "utf8")
  .matchAll(/Source="\$\(var\.WebDir\)\/([^"]*)"/g)].map((m) => m[1]);

// Every file below dir (or every entry, with folders), relative to it; symbolic links are not followed.
function listing(dir, { folders = false } = {}, below = "") {
  const found = [];
  for (const entry of readdirSync(path.join(dir, below), { withFileTypes: true })) {
    const name = path.posix.join(below, entry.name);
    if (entry.isDirectory()) {
      if (folders) found.push(name);
      found.push(...listing(dir, { folders }, name));
    } else if (folders || entry.isFile()) {
      found.push(name);
    }
  }
  return found;
}

const sameFile = (a, b) => existsSync(a) && existsSync(b) && readFileSync(a).equals(readFileSync(b));

function checkFiles(label, dir) {
  if (!existsSync(dir)) return tally.fail(`${label}: no folder ${dir}`);
  const expected = [serverName, connectorName, windowlessName, ...webFiles.map((f) => `web/${f}`)].sort();
  const actual = listing(dir).sort();
  if (expected.join("\n") !== actual.join("\n")) {
    tally.fail(`${label}: the installed files differ from the expected ones`);
    console.log(`  expected: ${expected.join(" ")}\n  found:    ${actual.join(" ")}`);
  }
  for (const file of [serverName, connectorName, windowlessName]) {
    tally.check(sameFile(path.join(bin, file), path.join(dir, file)), `${label}: ${file} differs from the built one`);
  }
  for (const file of webFiles) {
    tally.check(sameFile(path.join(root, "web", file), path.join(dir, "web", file)),
      `${label}: web/${file} differs from the source`);
  }
}

// Nothing left below the vendor folder (which goes too).
function checkNoFiles(label, vendorDir) {
  if (!existsSync(vendorDir)) return;
  tally.fail(`${label}: left on disk: ${listing(vendorDir, { folders: true }).join(" ")} (in ${vendorDir})`);
}

// A GUID as Windows Installer writes it in its own key names ("packed"): the first three groups reversed,
// each later byte's two digits swapped.
function packedGuid(guid) {
  const hex = guid.replaceAll(/[{}-]/g, "").toUpperCase();
  const reversed = (from, to) => [...hex.slice(from, to)].reverse().join("");
  return reversed(0, 8) + reversed(8, 12) + reversed(12, 16) + hex.slice(16).replaceAll(/(.)(.)/g, "$2$1");
}

// Every file and folder of drive C:, but for the temporary folders, whose content Wine's own programs
// change, and the installer's own cache folder, which its first run makes and keeps (empty once our package
// is gone; a cached package left in it would show).
const driveSkipped = [
  /^windows\/temp\//i, /\/appdata\/local\/temp\//i, /^windows\/installer$/i, /\/appdata\/local\/vaduna(\/|$)/i,
];
const driveListing = () => listing(path.join(prefix.folder, "drive_c"), { folders: true })
  .filter((entry) => !driveSkipped.some((skip) => skip.test(entry))).sort();

// Nothing of ours anywhere: in the machine's and the user's registry, each in its 64-bit and its 32-bit
// view (an entry there, or a key the installer keeps for its own books, names us or one of our identifiers),
// and on drive C: exactly the files and folders there were before anything was installed.
async function checkNothingLeft(label, patterns, driveBefore) {
  const looks = ["HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"].flatMap((hive) => [64, 32].map((view) => ({ hive, view })));
  const traces = [];
  await Promise.all(looks.map(async ({ hive, view }) => {
    const found = await exportRegistry(prefix, hive, path.join(work, `traces-${hive}-${view}.reg`), { view });
    if (!found) return tally.fail(`${label}: could not export ${hive} (${view}-bit view)`);
    for (const [key, line] of found.lines()) {
      if (patterns.some((p) => line.toLowerCase().includes(p))) traces.push(`  (${view}-bit) ${key}: ${line}`);
    }
  }));
  if (traces.length) {
    tally.fail(`${label}: the registry still names us:`);
    console.log(traces.slice(0, 20).join("\n"));
  }
  const after = new Set(driveListing());
  const changes = [...driveBefore.filter((e) => !after.has(e)).map((e) => `< ${e}`),
    ...[...after].filter((e) => !driveBefore.includes(e)).map((e) => `> ${e}`)];
  if (changes.length) {
    tally.fail(`${label}: drive C: differs from before the installations:`);
    console.log(changes.slice(0, 20).join("\n"));
  }
}

const currentVersion = (hive) => exportRegistry(prefix, `${hive}\\Software\\Microsoft\\Windows\\CurrentVersion`,
  path.join(work, "current-version.reg"));

// The Run entry below hive (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER); undefined when absent.
const runEntry = async (hive) => (await currentVersion(hive))?.value(`${hive}\\${runKey}`, contract.connector.runEntry);

// Whether the product is among the installed programs below hive.
const uninstallEntry = async (hive, code) => Boolean((await currentVersion(hive))?.has(`${hive}\\${uninstallKey}\\${code}`));

// A site the user allowed from the connector's dialog, which uninstalling forgets (checkNothingLeft finds it
// otherwise).
async function rememberASite() {
  const site = "https://remembered.example.com";
  const added = await prefix.run("reg", ["add", sitesKey, "/v", site, "/t", "REG_SZ", "/d", "allow", "/f"]);
  tally.check(added.code === 0, "could not write a remembered site");
}

// The windowless connector's log files (below each user's local application data), matched without case.
function connectorLogs() {
  const users = path.join(prefix.folder, "drive_c/users");
  const step = (dirs, name) => dirs.flatMap((dir) => {
    try {
      return readdirSync(dir).filter((e) => e.toLowerCase() === name.toLowerCase()).map((e) => path.join(dir, e));
    } catch {
      return [];
    }
  });
  const parts = ["AppData", "Local", ...contract.desktop.logFile.split("\\")];
  return parts.reduce(step, readdirSync(users).map((user) => path.join(users, user)));
}

// A new Wine session for the prefix, as at logon: its start (wineboot) runs the Run entries of the machine
// and of the user, which start the connector from exactly their command lines. The windowless connector must
// log that it listens on the port to its log file (uninstalling leaves it, as the user's), run with the Run
// entry's program and arguments, once; it is ended by its pid.
async function checkConnectorAtLogon(label, command, port) {
  await prefix.end();
  await prefix.idle();
  await start("wineserver", ["-p"], { env: prefix.env }).wait(30_000);
  for (const log of connectorLogs()) rmSync(log);
  const logonOut = path.join(work, "logon.out");
  const boot = prefix.start("wineboot", [], { stdout: logonOut, stderr: logonOut });
  if (!(await boot.wait(120_000))) await boot.stop();
  const listening = `listening on 127.0.0.1:${port},`;
  const logText = () => connectorLogs().map((log) => readFileSync(log, "utf8").replaceAll("\r", "")).join("");
  const heard = await waitFor(() => logText().includes(listening), { timeoutMs: 60_000 }).catch(() => false);
  tally.check(heard, `${label}: the windowless connector did not log listening on port ${port} after logon: ${logText()} ` +
    readFileSync(logonOut, "utf8").replaceAll("\r", ""));
  const pids = prefix.pids(windowlessName);
  tally.check(pids.length === 1, `${label}: not one connector after logon: pids ${pids.join(" ")}`);
  for (const pid of pids) {
    // Wine shows a process's Windows command line, the program unquoted.
    const shown = readFileSync(`/proc/${pid}/cmdline`, "utf8").replaceAll("\0", " ").trim();
    tally.check(shown === command.replaceAll('"', ""), `${label}: the connector runs as ${shown}, not as the Run entry says`);
    process.kill(pid, "SIGTERM");
  }
  const ended = await waitFor(() => !prefix.pids(windowlessName).length, { timeoutMs: 10_000 }).catch(() => false);
  tally.check(ended, `${label}: the connector did not end`);
  // wineboot's own start of the session (its Run entries, the services it starts) ends before the next step.
  await settle(`${label}: after the logon`);
}

// The installed server's /Diagnose report: {code, stdout}.
const diagnose = (exe) => prefix.run(exe, ["/Diagnose"]);

// The application's line of a /Diagnose report for the server file exe.
const applicationLine = (exe) => `    ${progIds.application} -> class ${ids.application} -> ${exe} (file present)`;

async function machineWide(ports, codes) {
  const settings = [`ALLOWED_ORIGINS=${originsMachine}`, `CONNECTOR_PORT=${ports.machine}`];
  phase(`installing machine-wide (${settings.join(", ")})`);
  let code = await msiexec("/i", machineMsi, "machine-install.log", ...settings);
  tally.check(code === 0, `machine-wide installation: msiexec exit code ${code} (log: ${work}/machine-install.log)`);
  checkFiles("machine-wide installation", machineDir);
  const exe = `${machineDirWin}\\${serverName}`;
  registration.serverPath = exe;
  await registration.checkRegistered("machine-wide installation");
  await registration.checkUnregistered("the user's classes after the machine-wide installation", userRoot);
  tally.check(await uninstallEntry("HKEY_LOCAL_MACHINE", codes.machine),
    "machine-wide installation: not among the installed programs");

  phase("the installed server: /Diagnose, a VBScript client");
  const diagnosis = await diagnose(exe);
  tally.check(diagnosis.code === 0, `/Diagnose after the machine-wide installation: exit code ${diagnosis.code}`);
  tally.check(diagnosis.stdout.split("\n").includes(applicationLine(exe)),
    `/Diagnose does not show the installed server: ${diagnosis.stdout}`);
  const client = await runClient(prefix, path.join(here, "../serving/activate_client.vbs"));
  tally.check(client.text.split("\n").at(-1) === "2 passed, 0 failed", `the VBScript client: ${client.text}`);
  await prefix.serverGone(60).catch(() => tally.fail("the activated server did not end by itself within 60 s"));

  phase("the Run entry, a logon");
  let command = await runEntry("HKEY_LOCAL_MACHINE");
  tally.check(command !== undefined, "machine-wide installation: no Run entry");
  let expected = `"${machineDirWin}\\${windowlessName}" --port ${ports.machine} ` +
    "--allow-origin https://app.example.com --allow-origin http://127.0.0.1:8080";
  tally.check(command === expected, `machine-wide Run entry: ${command}, expected ${expected}`);
  tally.check((await runEntry("HKEY_CURRENT_USER")) === undefined, "machine-wide installation: a Run entry for the user");
  await checkConnectorAtLogon("machine-wide installation", command ?? "", ports.machine);

  phase("reinstalling machine-wide with another origin, no port given");
  code = await msiexec("/i", machineMsi, "machine-reinstall.log", "REINSTALL=ALL", "REINSTALLMODE=omus",
    "ALLOWED_ORIGINS=https://other.example.com");
  tally.check(code === 0, `machine-wide reinstallation: msiexec exit code ${code} (log: ${work}/machine-reinstall.log)`);
  command = await runEntry("HKEY_LOCAL_MACHINE");
  tally.check(command !== undefined, "machine-wide reinstallation: no Run entry");
  expected = `"${machineDirWin}\\${windowlessName}" --port ${ports.machine} --allow-origin https://other.example.com`;
  tally.check(command === expected, `machine-wide Run entry after reinstalling: ${command}, expected ${expected}`);
  await registration.checkRegistered("machine-wide reinstallation");

  phase("uninstalling machine-wide");
  await rememberASite();
  code = await msiexec("/x", machineMsi, "machine-uninstall.log");
  tally.check(code === 0, `machine-wide uninstallation: msiexec exit code ${code} (log: ${work}/machine-uninstall.log)`);
  checkNoFiles("machine-wide uninstallation", path.dirname(machineDir));
  await registration.checkUnregistered("machine-wide uninstallation");
}

async function currentUser(ports, codes, dirs) {
  const settings = [`ALLOWED_ORIGINS=${originsUser}`, `CONNECTOR_PORT=${ports.user}`];
  phase(`installing for the current user (${settings.join(", ")})`);
  let code = await msiexec("/i", userMsi, "user-install.log", ...settings);
  tally.check(code === 0, `per-user installation: msiexec exit code ${code} (log: ${work}/user-install.log)`);
  checkFiles("per-user installation", dirs.user);
  const exe = `${dirs.userWin}\\${serverName}`;
  registration.serverPath = exe;
  await registration.checkRegistered("per-user installation", userRoot);
  await registration.checkUnregistered("the machine's classes after the per-user installation");
  // Wine lists a product installed for the user among the machine's programs too.
  tally.check(await uninstallEntry("HKEY_LOCAL_MACHINE", codes.user),
    "per-user installation: not among the installed programs");

  phase("the installed server: /Diagnose");
  // It names the user's registration; under Wine its verdict is that no client reaches the server, as Wine
  // activates from the machine's classes only.
  const diagnosis = await diagnose(exe);
  let section = false;
  const userSection = diagnosis.stdout.split("\n").filter((line) => {
    if (/^Registration for the current user .*64-bit view/.test(line)) return !(section = true);
    if (line.startsWith("Registration")) section = false;
    return section;
  });
  tally.check(userSection.includes(applicationLine(exe)),
    `/Diagnose does not show the user's installed server: ${diagnosis.stdout}`);

  phase("the Run entry, a logon");
  let command = await runEntry("HKEY_CURRENT_USER");
  tally.check(command !== undefined, "per-user installation: no Run entry");
  const expected = `"${dirs.userWin}\\${windowlessName}" --port ${ports.user} --allow-origin https://app.example.com`;
  tally.check(command === expected, `per-user Run entry: ${command}, expected ${expected}`);
  tally.check((await runEntry("HKEY_LOCAL_MACHINE")) === undefined, "per-user installation: a Run entry for the machine");
  await checkConnectorAtLogon("per-user installation", command ?? "", ports.user);

  phase("reinstalling for the current user, no settings given");
  code = await msiexec("/i", userMsi, "user-reinstall.log", "REINSTALL=ALL", "REINSTALLMODE=omus");
  tally.check(code === 0, `per-user reinstallation: msiexec exit code ${code} (log: ${work}/user-reinstall.log)`);
  command = await runEntry("HKEY_CURRENT_USER");
  tally.check(command !== undefined, "per-user reinstallation: no Run entry");
  tally.check(command === expected, `per-user Run entry after reinstalling: ${command}, expected ${expected}`);

  phase("uninstalling for the current user");
  await rememberASite();
  code = await msiexec("/x", userMsi, "user-uninstall.log");
  tally.check(code === 0, `per-user uninstallation: msiexec exit code ${code} (log: ${work}/user-uninstall.log)`);
  checkNoFiles("per-user uninstallation", path.dirname(dirs.user));
  await registration.checkUnregistered("per-user uninstallation", userRoot);
  await registration.checkUnregistered("the machine's classes after the per-user uninstallation");
}

await runCase("installer_e2e", async (context) => {
  phase("making the prefix");
  await prefix.fresh();
  context.cleanups.push(() => prefix.end());
  if (!existsSync(path.join(prefix.folder, "system.reg"))) throw new Error(`the Wine prefix ${prefix.folder} was not made`);

  const ports = { machine: await freePort(), user: await freePort() };
  const [machineProperties, userProperties] = await Promise.all([packageProperties(machineMsi), packageProperties(userMsi)]);
  const codes = { machine: machineProperties.get("ProductCode"), user: userProperties.get("ProductCode"),
    upgrade: machineProperties.get("UpgradeCode") };
  tally.check(codes.machine && codes.user, "no product code in the packages");
  await checkPackage("the machine-wide package", machineProperties, machineMsi, 2);
  await checkPackage("the per-user package", userProperties, userMsi, 10);
  const localAppData = (await prefix.run("cmd", ["/c", "echo", "%LOCALAPPDATA%"])).stdout.trim();
  const userWin = `${localAppData}\\Programs\\Vaduna\\Desktop Integration`;
  const user = (await prefix.run("winepath", ["-u", userWin])).stdout.trim().replace(/\/$/, "");
  tally.check(localAppData && user, "cannot name the user's local programs folder");
  // What names us anywhere in the registry, lower case: our name (in every path, program entry and value of
  // ours), our identifiers, and the packages' codes in both forms.
  const codeList = [codes.machine, codes.user, codes.upgrade].filter(Boolean);
  const identifiers = [ids.appId, ids.libId, ids.application, ids.propertySet, ids.service, ...ids.interfaces, ...codeList];
  const patterns = ["vaduna", ...identifiers.map((id) => id.replaceAll(/[{}]/g, "")), ...codeList.map(packedGuid)]
    .map((p) => p.toLowerCase());
  const driveBefore = driveListing();

  phase("installing machine-wide with a wrong origin");
  const code = await msiexec("/i", machineMsi, "refused.log", "ALLOWED_ORIGINS=https://app.example.com/shop");
  tally.check(code !== 0, "an origin with a path was accepted");
  const refusal = existsSync(path.join(work, "refused.log")) ? readFileSync(path.join(work, "refused.log"), "latin1") : "";
  tally.check(refusal.includes("https://app.example.com/shop is not an origin"),
    `the refusal does not name the wrong origin (log: ${work}/refused.log)`);
  await checkNothingLeft("after the refused installation", patterns, driveBefore);

  await machineWide(ports, codes);
  await checkNothingLeft("machine-wide uninstallation", patterns, driveBefore);
  await currentUser(ports, codes, { user, userWin });
  await checkNothingLeft("per-user uninstallation", patterns, driveBefore);

  phase("done");
  tally.done("installer e2e");
  // The prefix is large; a failed run keeps it, and the msiexec logs, for a look.
  await prefix.end();
  await prefix.idle();
  rmSync(work, { recursive: true, force: true });
});
