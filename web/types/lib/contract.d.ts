/** Version of the protocol between this library and the connector. @type {number} */
export const PROTOCOL_VERSION: number;
/** The first connector's loopback port. @type {number} */
export const DEFAULT_PORT: number;
/** How many ports, from DEFAULT_PORT on, connectors listen on: each user's takes the first free one. @type {number} */
export const PORT_COUNT: number;
/** The service name that the connector's /status answers with. @type {string} */
export const STATUS_SERVICE: string;
/** The connector's executable, for messages that tell the user what to start. @type {string} */
export const CONNECTOR_EXE: string;
