// Generated from interface/contract.json by tools/contract-check.mjs --write; do not edit.
// The names and numbers that the page library shares with the connector.

/** Version of the protocol between this library and the connector. */
export const PROTOCOL_VERSION = 1;

/** The connector's loopback port unless it is told otherwise. */
export const DEFAULT_PORT = 47011;

/** How many ports, from DEFAULT_PORT on, a connector may listen on: each user's takes the first free one. */
export const PORT_COUNT = 10;

/** The service name that the connector's /status answers with. */
export const STATUS_SERVICE = "vaduna-page-bridge";

/** The connector's executable, for messages that tell the user what to start. */
export const CONNECTOR_EXE = "vaduna_page_bridge.exe";
