// Generated from interface/contract.json by tools/contract-check.mjs --write; do not edit.
// The names and numbers that the page library shares with the connector.

/** Version of the protocol between this library and the connector. @type {number} */
export const PROTOCOL_VERSION = 1;

/** The first connector's loopback port. @type {number} */
export const DEFAULT_PORT = 47011;

/** How many ports, from DEFAULT_PORT on, connectors listen on: each user's takes the first free one. @type {number} */
export const PORT_COUNT = 10;

/** The service name that the connector's /status answers with. @type {string} */
export const STATUS_SERVICE = "vaduna-page-bridge";

/** The connector's executable, for messages that tell the user what to start. @type {string} */
export const CONNECTOR_EXE = "vaduna_page_bridge.exe";
