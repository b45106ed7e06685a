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

// The library as tsconfig.json compiles it, and two TypeScript pages that import the package by its name, as a
// dependent would, and so reach the declarations in types/. The second program takes the files the first one
// parsed (the standard library above all) from this cache.
const parsed = new Map();
function compile(rootNames, options) {
  const host = ts.createCompilerHost(options);
  const read = host.getSourceFile.bind(host);
  host.getSourceFile = (file, ...rest) => parsed.get(file) ?? parsed.set(file, read(file, ...rest)).get(file);
  return ts.createProgram(rootNames, options, host);
}
const config = ts.getParsedCommandLineOfConfigFile(path.join(web, "tsconfig.json"), {}, ts.sys);

test("types/ holds what tsc makes of the JSDoc, and nothing else", () => {
  const program = compile(config.fileNames, config.options);
  const emitted = new Map();
  const { diagnostics } = program.emit(undefined, (file, text) => emitted.set(path.relative(web, file), text));
  assert.deepEqual(messages(diagnostics), []);
  assert.deepEqual(files(path.join(web, "types")), [...emitted.keys()].sort(), "run npm run types in web/");
  for (const [file, text] of emitted) {
    assert.equal(readFileSync(path.join(web, file), "utf8"), text, `${file} is stale: run npm run types in web/`);
  }
});

test("a strict TypeScript page compiles against the declarations; each misuse is an error", () => {
  const page = path.join(web, "test/types/page.ts");
  const misuse = path.join(web, "test/types/misuse.ts");
  // Without outDir, the package's own name leads to types/, not back to the .js sources.
  const { outDir, declaration, emitDeclarationOnly, allowJs, ...options } = config.options;
  assert.ok(options.strict);
  const program = compile([page, misuse], { ...options, noEmit: true });
  const diagnostics = ts.getPreEmitDiagnostics(program);
  assert.deepEqual(messages(diagnostics.filter((d) => d.file?.fileName !== misuse)), []);
  const errorLines = new Set(messages(diagnostics.filter((d) => d.file?.fileName === misuse)).map((m) => m.split(" ")[0]));
  const misuseLines = readFileSync(misuse, "utf8")
    .split("\n")
    .flatMap((line, index) => (line.endsWith("// misuse") ? [`test/types/misuse.ts:${index + 1}`] : []));
  assert.deepEqual([...errorLines].sort(), misuseLines.sort());
  const read = program.getSourceFiles().map((file) => path.relative(web, file.fileName));
  assert.ok(read.includes(path.join("types", "vaduna-page.d.ts")), read.join(" "));
});

test("the package carries the declarations and the library, not the tests", async () => {
  const { stdout } = await promisify(execFile)("npm", ["pack", "--dry-run", "--json", "--ignore-scripts"], { cwd: web });
  const packed = JSON.parse(stdout)[0].files.map((file) => file.path);
  for (const file of [...files(path.join(web, "types")), ...files(path.join(web, "lib")), "vaduna-page.js", "package.json"]) {
    assert.ok(packed.includes(file.split(path.sep).join("/")), `${file} is not packed`);
  }
  assert.deepEqual(packed.filter((file) => /^(test|testing|node_modules)\//.test(file)), []);
});
