// Connect-time diagnosis: why a page cannot reach the connector, told before the WebSocket is opened.

import { CONNECTOR_EXE, PROTOCOL_VERSION, STATUS_SERVICE } from "./contract.js";
import { ConnectError } from "./connect-error.js";

/**
 * Asks /status, which also raises the browser's local network access prompt, and tells apart a connector that
 * does not run, one that refuses this origin, a browser that refuses the access, and a foreign or newer service.
 */
export async function probeStatus(fetchFunction, permissions, where, signal) {
  const init = {
    method: "GET",
    cache: "no-store",
    credentials: "omit",
    targetAddressSpace: "loopback",
    signal,
  };
  let response;
  try {
    response = await fetchFunction(where.status, { ...init, mode: "cors" });
  } catch (corsFailure) {
    if (signal.aborted) return;
    // A CORS refusal and an unreachable port look the same to the page; an opaque request tells them apart
    // (browsers reject a no-cors request whose redirect mode is not "follow").
    let reachable = true;
    try {
      await fetchFunction(where.status, { ...init, mode: "no-cors" });
    } catch {
      reachable = false;
    }
    if (signal.aborted) return;
    if (reachable) {
      const origin = where.origin ?? "this page's origin";
      throw new ConnectError(
        "origin-refused",
        `The Vaduna connector at ${where.url} runs but does not accept pages from ${origin}. ` +
          (where.origin === "null"
            ? `A page opened from a file has no origin the connector can allow: serve the page over http(s).`
            : `The site's administrator can allow it by starting the connector with --allow-origin ${origin}.`),
        { cause: corsFailure },
      );
    }
    if (await accessDenied(permissions)) {
      throw new ConnectError(
        "permission-denied",
        `The browser does not let this site reach the Vaduna connector on this computer. Allow the ` +
          `"local network" (or "loopback network") permission for ${where.origin ?? "this site"} in the site ` +
          `settings and reload.` +
          (isFramed() ? ` This page runs in a frame: its <iframe> also needs allow="loopback-network".` : ""),
        { cause: corsFailure },
      );
    }
    throw new ConnectError(
      "not-running",
      `No Vaduna connector answers at ${where.url}. Start ${CONNECTOR_EXE} on this computer (or ` +
        `check the port in the connector URL) and try again.`,
      { cause: corsFailure },
    );
  }
  if (!response.ok) {
    throw new ConnectError(
      "protocol",
      `Something other than the Vaduna connector answers at ${where.status} (HTTP ${response.status}): ` +
        `check the port in the connector URL.`,
    );
  }
  let status;
  try {
    status = await response.json();
  } catch (malformed) {
    if (signal.aborted) return;
    throw new ConnectError("protocol", `The answer of ${where.status} is not JSON: check the port.`, {
      cause: malformed,
    });
  }
  if (status?.service !== STATUS_SERVICE || !Number.isInteger(status.protocol)) {
    throw new ConnectError(
      "protocol",
      `The answer of ${where.status} is not a Vaduna connector's status: check the port in the connector URL.`,
    );
  }
  if (status.protocol !== PROTOCOL_VERSION) {
    throw new ConnectError(
      "protocol",
      `The Vaduna connector at ${where.url} speaks page protocol ${status.protocol}, this page speaks ` +
        `${PROTOCOL_VERSION}: install matching versions of the connector and of vaduna-page.js.`,
    );
  }
}

/** Whether the browser reports the local network access permission as denied (names differ between versions). */
async function accessDenied(permissions) {
  if (typeof permissions?.query !== "function") return false;
  for (const name of ["loopback-network", "local-network-access"]) {
    try {
      if ((await permissions.query({ name }))?.state === "denied") return true;
    } catch {
      // A name this browser does not know.
    }
  }
  return false;
}

function isFramed() {
  try {
    return globalThis.window !== undefined && globalThis.window.top !== globalThis.window.self;
  } catch {
    return true;
  }
}
