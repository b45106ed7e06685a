// Measures call costs against the built server with the classic page host's page attached.
//   node bench/run-bench.mjs BUILD_DIR [N]      (bench/run-bench.sh builds first)
import path from "node:path";

import { contract } from "../tools/contract.mjs";
import {
  WinePrefix, check, root, runCase, serverFile, startPageHost, winPath, wineDiagnostics,
} from "../tools/harness/index.mjs";

const build = path.resolve(process.argv[2] ?? path.join(root, "build"));
const count = process.argv[3] ?? "200";
const prefix = new WinePrefix(path.join(build, "bench-prefix"));
const server = path.join(build, "bin", serverFile);

await runCase("bench", async (context) => {
  await prefix.readyFor(context);
  check((await prefix.run(server, ["/RegServer"])).code === 0, "/RegServer failed");
  // Wine's type-library marshaller looks the library up under locale 0 only, and the server registers it
  // under 409: the neutral entry, in this private prefix, lets early-bound calls be marshalled and measured.
  await prefix.run("reg", ["add", `HKCR\\TypeLib\\{${contract.ids.library}}\\1.0\\0\\win64`, "/ve",
    "/d", winPath(server), "/f"]);
  const page = await startPageHost(prefix, build, { log: path.join(context.work, "page.log") });
  const bench = await prefix.run(path.join(build, "bin", "vaduna_call_cost.exe"), [count], { timeoutMs: 3_600_000 });
  process.stdout.write(bench.stdout);
  if (wineDiagnostics(bench.stderr)) console.error(wineDiagnostics(bench.stderr));
  check(bench.code === 0, `the bench ended with status ${bench.code}`);
  await page.stop();
  await prefix.serverGone(20).catch(() => {});
});
