/**
 * The page side of the Vaduna page protocol (version 1, see PROTOCOL.md).
 *
 * A web application attaches its script application object to the desktop integration server through the page
 * connector (`CONNECTOR_EXE`) on a loopback WebSocket. The connector stands in for the page towards COM
 * and forwards every call to the page by member name; this module answers those calls on the page's objects,
 * keeps the table of objects the connector holds, and offers ready-made property sets, services and an
 * application object.
 *
 *     import { connect, createApplication, Service } from "./vaduna-page.js";
 *     const orders = new Service("Orders", { Find(input, output) { ... } });
 *     const app = createApplication({ name: "Shop", services: [orders] });
 *     const link = await connect(app, { onDetach: (reason) => console.log("detached:", reason) });
 *
 * The one public entry: the modules under lib/ are its parts, loaded by the browser as they are (no build step).
 *
 * @module vaduna-page
 */

/** The protocol version this module speaks (`hello.v`, `attached.v`, `/status` `protocol`). */
export { PROTOCOL_VERSION, DEFAULT_PORT, PORT_COUNT } from "./lib/contract.js";
export {
  DEFAULT_TIMEOUT_MS,
  DEFAULT_CONSENT_TIMEOUT_MS,
  PORT_TIMEOUT_MS,
  MAX_FRAME_BYTES,
  CLOSE_TIMEOUT_MS,
} from "./lib/limits.js";
export { PropertySet } from "./lib/property-set.js";
export { Service, createApplication } from "./lib/service.js";
export { ConnectError } from "./lib/connect-error.js";
export { DEFAULT_URL, DEFAULT_PORTS, connect } from "./lib/connect.js";

// The types a TypeScript page names (types/vaduna-page.d.ts is generated from these comments).
/** @typedef {import("./lib/connect.js").ConnectOptions} ConnectOptions */
/** @typedef {import("./lib/link.js").Link} Link */
/** @typedef {import("./lib/link.js").DetachReason} DetachReason */
/** @typedef {import("./lib/link.js").LinkStatus} LinkStatus */
/** @typedef {import("./lib/connect-error.js").ConnectErrorCode} ConnectErrorCode */
/** @typedef {import("./lib/property-set.js").PropertySetInit} PropertySetInit */
/** @typedef {import("./lib/property-set.js").Text} Text */
/** @typedef {import("./lib/service.js").ServiceMethod} ServiceMethod */
/** @typedef {import("./lib/service.js").ApplicationOptions} ApplicationOptions */
/** @typedef {import("./lib/service.js").PageApplication} PageApplication */
