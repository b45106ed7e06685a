// Runs a test program on the virtual X display that xvfb-run gives this process, in a Wine prefix of its
// own: Wine makes windows only with a display and takes the display when the prefix's wineserver starts,
// so the build's shared prefix (whose wineserver runs without one) cannot serve.
//   xvfb-run node display_test.mjs BUILD_DIR PROGRAM.exe [ARGS...]
import { existsSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

import { WinePrefix, winPath } from "../../../../tools/harness/index.mjs";

const [build, program, ...args] = process.argv.slice(2);
// GoogleTest makes this file at its start and removes it at its end: one left says the run was cut short.
const marker = path.join(tmpdir(), `vaduna-display-run.${process.pid}`);
process.env.TEST_PREMATURE_EXIT_FILE = winPath(marker);
const prefix = new WinePrefix(path.join(build, "e2e-desktop-prefix"));
await prefix.end();  // a wineserver of an earlier run holds no display, or one that has gone
await prefix.ready();
const result = await prefix.run(program, args, { timeoutMs: 280_000 });
process.stdout.write(result.stdout);
process.stderr.write(result.stderr);
await prefix.end();
if (existsSync(marker)) {
  rmSync(marker);
  console.error(`${path.basename(program)} ended before its test run completed (status ${result.code})`);
  process.exit(result.code || 1);
}
process.exit(result.code ?? 1);
