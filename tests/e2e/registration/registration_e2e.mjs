// Registers, re-registers and unregisters the server executable in a fresh Wine prefix of its own and
// compares the registry with the expected entries; checks /Diagnose, that "-regserver" registers and that
// "/RegServer /s" serves instead.
//   node registration_e2e.mjs SERVER_EXE WORK_DIR APPID LIBID CLSID_APP CLSID_PROPSET CLSID_SERVICE IID...
//   IID: the interfaces that the type library registers
import { copyFileSync, mkdirSync, rmSync } from "node:fs";
import path from "node:path";

import { progIds } from "../../../tools/contract.mjs";
import { Tally, WinePrefix, runCase, winPath } from "../../../tools/harness/index.mjs";
import { Registration, idsFrom, userRoot } from "./registration_listing.mjs";

const [exe, workArg, ...idArgs] = process.argv.slice(2);
const work = path.resolve(workArg);
const prefix = new WinePrefix(path.join(work, "wineprefix"));

await runCase("registration_e2e", async (context) => {
  const tally = new Tally();
  await prefix.fresh();
  context.cleanups.push(() => prefix.end());
  const registration = new Registration(prefix, work, idsFrom(idArgs), tally);
  registration.serverPath = winPath(exe);
  const server = async (...args) => (await prefix.run(exe, args)).code;
  const exitsWith = async (args, expected, message) => {
    const code = await server(...args);
    tally.check(code === expected, `${message}: exit code ${code}${expected ? `, expected ${expected}` : ""}`);
  };

  // Before any registration every script finds nothing to remove; the exit code is the type library
  // removal's failure, E_INVALIDARG under Wine (its low byte, 0x57, is what the Linux exit status keeps).
  await exitsWith(["/UnregServer"], 87, "/UnregServer before registration");
  await registration.checkUnregistered("unregistration before registration");

  // Per user: the same keys under the user's classes root, needing no administrator, and the machine's
  // classes untouched throughout. (Wine does not merge the user's classes into HKEY_CLASSES_ROOT, so a
  // client there cannot activate a per-user registration; the keys are what can be shown.)
  await exitsWith(["/RegServerPerUser"], 0, "/RegServerPerUser");
  await registration.checkRegistered("per-user registration", userRoot);
  await registration.checkUnregistered("the machine after per-user registration");
  await exitsWith(["-regserverperuser"], 0, "second per-user registration");
  await registration.checkRegistered("second per-user registration", userRoot);
  await exitsWith(["/UnregServerPerUser"], 0, "/UnregServerPerUser");
  await registration.checkUnregistered("per-user unregistration", userRoot);
  await registration.checkUnregistered("the machine after per-user unregistration");

  await exitsWith(["/RegServer"], 0, "/RegServer");
  await registration.checkRegistered("first registration");
  await registration.checkUnregistered("the user's classes after machine-wide registration", userRoot);
  await exitsWith(["/RegServer"], 0, "second /RegServer");
  await registration.checkRegistered("second registration");
  await exitsWith(["/UnregServer"], 0, "/UnregServer");
  await registration.checkUnregistered("unregistration");
  await exitsWith(["-regserver"], 0, "-regserver");
  await registration.checkRegistered("-regserver");

  // What a client would find, healthy and with the registered file moved away.
  const literal = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, "\\$&");
  let diagnosis = await prefix.run(exe, ["/Diagnose"]);
  tally.check(diagnosis.code === 0, `/Diagnose of a healthy registration: exit code ${diagnosis.code}`);
  const application = `^    ${literal(progIds.application)} -> class ${literal(registration.ids.application)} -> `;
  tally.check(new RegExp(`${application}.*\\(file present\\)$`, "m").test(diagnosis.stdout),
    `/Diagnose does not show the application's server file: ${diagnosis.stdout}`);
  tally.check(/^Verdict: clients can reach the server/m.test(diagnosis.stdout), `/Diagnose verdict: ${diagnosis.stdout}`);
  const moved = path.join(work, "moved", path.basename(exe));
  mkdirSync(path.dirname(moved), { recursive: true });
  copyFileSync(exe, moved);
  tally.check((await prefix.run(moved, ["/RegServer"])).code === 0, "/RegServer of the moved copy failed");
  rmSync(moved);
  diagnosis = await prefix.run(exe, ["/Diagnose"]);
  tally.check(diagnosis.code === 1, `/Diagnose with the server file moved away: exit code ${diagnosis.code}, expected 1`);
  tally.check(/\(FILE MISSING\)$/m.test(diagnosis.stdout), `/Diagnose does not show the missing file: ${diagnosis.stdout}`);
  tally.check(/^Verdict: no client can reach the server: the server file/m.test(diagnosis.stdout),
    `/Diagnose verdict: ${diagnosis.stdout}`);
  tally.check((await server("/RegServer")) === 0, "registering again from the build");

  // Neither switch word ends the command line: the process serves (and would end by itself after its
  // idle time).
  const serving = prefix.start(exe, ["/RegServer", "/s"]);
  if ((await serving.wait(2000)) === null) await serving.stop();
  else tally.fail("'/RegServer /s' did not keep serving");

  tally.done("registration e2e");
  // The prefix is large; a failed run keeps it for a look.
  await prefix.end();
  await prefix.idle();
  rmSync(work, { recursive: true, force: true });
});
