// The harness of the end-to-end tests, the demo and the benches (see ARCHITECTURE.md, "The harness").
export * from "./processes.mjs";
export * from "./wine.mjs";
export * from "./connector-log.mjs";
export * from "./chromium.mjs";
export * from "./firefox.mjs";
export * from "./stack.mjs";
export * from "./clients.mjs";
export * from "./check.mjs";
export * from "./page-host.mjs";
export * from "./registry.mjs";
