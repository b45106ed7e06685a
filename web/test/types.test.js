import { test } from "node:test";
import assert from "node:assert/strict";
import { execFile } from "node:child_process";
import { readFileSync, readdirSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { promisify } from "node:util";

// The declarations under types/ are generated from the library's JSDoc (npm run types); these tests fail when
// they drift from it, when they let a strict TypeScript page misuse the API, or when the package leaves them out.
const web = fileURLToPath(new URL("..", import.meta.url));
const ts = await import("typescript").then(
  (module) => module.default,
  () => assert.fail("TypeScript is not installed: run npm ci in web/ (tools/setup.sh does)"),
);

const files = (dir) =>
  readdirSync(dir, { recursive: true, withFileTypes: true })
    .filter((entry) => entry.isFile())
    .map((entry) => path.relative(web, path.join(entry.parentPath ?? entry.path, entry.name)))
    .sort();
const messages = (diagnostics) =>
  diagnostics.map((d) => {
    const where = d.file ? `${path.relative(web, d.file.fileName)}:${d.file.getLineAndCharacterOfPosition(d.start).line + 1}` : "";
    return `${where} ${ts.flattenDiagnosticMessageText(d.messageText, " ")}`;
  });

test("types/ holds what tsc makes of the JSDoc, and nothing else", () => {
  const config = ts.getParsedCommandLineOfConfigFile(path.join(web, "tsconfig.json"), {}, ts.sys);
  const program = ts.createProgram(config.fileNames, { ...config.options, skipDefaultLibCheck: true });
  const emitted = new Map();
  const result = program.emit(undefined, (file, text) => emitted.set(path.relative(web, file), text));
  assert.deepEqual(messages([...ts.getPreEmitDiagnostics(program), ...result.diagnostics]), []);
  assert.deepEqual(files(path.join(web, "types")), [...emitted.keys()].sort(), "run npm run types in web/");
  for (const [file, text] of emitted) {
    assert.equal(readFileSync(path.join(web, file), "utf8"), text, `${file} is stale: run npm run types in web/`);
  }
});

test("a strict TypeScript page compiles against the declarations; each misuse is an error", () => {
  const page = path.join(web, "test/types/page.ts");
  const misuse = path.join(web, "test/types/misuse.ts");
  const options = {
    strict: true,
    noEmit: true,
    module: ts.ModuleKind.NodeNext,
    moduleResolution: ts.ModuleResolutionKind.NodeNext,
    target: ts.ScriptTarget.ES2022,
    lib: ["lib.es2023.d.ts", "lib.dom.d.ts"],
    types: [],
    skipDefaultLibCheck: true, // the checks that count are of the pages and of types/
  };
  const program = ts.createProgram([page, misuse], options);
  const diagnostics = ts.getPreEmitDiagnostics(program);
  assert.deepEqual(messages(diagnostics.filter((d) => d.file?.fileName !== misuse)), []);
  const errorLines = new Set(messages(diagnostics.filter((d) => d.file?.fileName === misuse)).map((m) => m.split(" ")[0]));
  const misuseLines = readFileSync(misuse, "utf8")
    .split("\n")
    .flatMap((line, index) => (line.endsWith("// misuse") ? [`test/types/misuse.ts:${index + 1}`] : []));
  assert.deepEqual([...errorLines].sort(), misuseLines.sort());
  // The page reached the declarations through the package's own name, as a dependent's would.
  const resolved = program.getSourceFiles().map((file) => path.relative(web, file.fileName));
  assert.ok(resolved.includes(path.join("types", "vaduna-page.d.ts")), resolved.join(" "));
});

test("the package carries the declarations and the library, not the tests", async () => {
  const { stdout } = await promisify(execFile)("npm", ["pack", "--dry-run", "--json", "--ignore-scripts"], { cwd: web });
  const packed = JSON.parse(stdout)[0].files.map((file) => file.path);
  for (const file of [...files(path.join(web, "types")), ...files(path.join(web, "lib")), "vaduna-page.js", "package.json"]) {
    assert.ok(packed.includes(file.split(path.sep).join("/")), `${file} is not packed`);
  }
  assert.deepEqual(packed.filter((file) => /^(test|testing|node_modules)\//.test(file)), []);
});
