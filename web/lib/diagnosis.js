// Connect-time search and diagnosis: which connector is this user's, and why a page cannot reach one, told before
// the WebSocket is opened.

import { CONNECTOR_EXE, PROTOCOL_VERSION, STATUS_SERVICE } from "./contract.js";
import { ConnectError } from "./connect-error.js";

/**
 * A connector to try: its WebSocket URL, its /status URL, its port and the page's origin.
 * @typedef {{url: string, status: string, port: string, origin: string | undefined}} Endpoint
 */

/**
 * What one /status answer says: `mine` (this user's connector, accepting this page), `other-user` (a connector of
 * another user of this computer), `unreachable` (nothing answers, or the browser does not let the page reach it),
 * `origin-refused`, `foreign` (something else answers), `version` (a connector of another protocol).
 * @typedef {{kind: string, endpoint: Endpoint, error?: unknown, protocol?: number, detail?: string}} Finding
 */

/**
 * Asks the /status of `endpoints` in order and answers the first to answer as this user's connector. A port that has
 * not answered within `portTimeout` ms does not hold up the next one, but its answer still counts when it comes (a
 * browser's local network access prompt holds every request until the user answers it). Throws a ConnectError naming what
 * was found when none is this user's; returns undefined once `signal` is aborted.
 * @param {typeof fetch} fetchFunction
 * @param {{query(descriptor: {name: string}): Promise<{state: string}>} | undefined} permissions
 * @param {Endpoint[]} endpoints
 * @param {number} portTimeout
 * @param {AbortSignal} signal
 * @returns {Promise<Endpoint | undefined>}
 */
export async function findConnector(fetchFunction, permissions, endpoints, portTimeout, signal) {
  // Requests still out once the answer is known are cancelled.
  const search = new AbortController();
  const stop = () => search.abort();
  signal.addEventListener("abort", stop, { once: true });
  try {
    return await searchEndpoints(fetchFunction, permissions, endpoints, portTimeout, search.signal);
  } finally {
    signal.removeEventListener("abort", stop);
    stop();
  }
}

async function searchEndpoints(fetchFunction, permissions, endpoints, portTimeout, signal) {
  /** @type {{finding?: Finding, settled: Promise<Finding>}[]} */
  const probes = [];
  const firstMine = () => probes.find((probe) => probe.finding?.kind === "mine")?.finding?.endpoint;
  for (const endpoint of endpoints) {
    const probe = { finding: undefined, settled: probeStatus(fetchFunction, endpoint, signal) };
    probe.settled.then((finding) => (probe.finding = finding));
    probes.push(probe);
    if (endpoints.length > 1) await Promise.race([probe.settled, delay(portTimeout, signal)]);
    else await probe.settled;
    if (signal.aborted) return undefined;
    const found = firstMine();
    if (found) return found;
  }
  const findings = await Promise.all(probes.map((probe) => probe.settled));
  if (signal.aborted) return undefined;
  const found = firstMine();
  if (found) return found;
  throw await failure(findings, permissions, endpoints.length === 1);
}

function delay(ms, signal) {
  return new Promise((resolve) => {
    const timer = setTimeout(resolve, ms);
    signal.addEventListener("abort", () => (clearTimeout(timer), resolve(undefined)), { once: true });
  });
}

/**
 * Asks one /status, which also raises the browser's local network access prompt. Never throws.
 * @returns {Promise<Finding>}
 */
async function probeStatus(fetchFunction, endpoint, signal) {
  const init = {
    method: "GET",
    cache: "no-store",
    credentials: "omit",
    targetAddressSpace: "loopback",
    signal,
  };
  let response;
  try {
    response = await fetchFunction(endpoint.status, { ...init, mode: "cors" });
  } catch (corsFailure) {
    // A CORS refusal and an unreachable port look the same to the page; an opaque request tells them apart
    // (browsers reject a no-cors request whose redirect mode is not "follow").
    try {
      await fetchFunction(endpoint.status, { ...init, mode: "no-cors" });
      return { kind: "origin-refused", endpoint, error: corsFailure };
    } catch {
      return { kind: "unreachable", endpoint, error: corsFailure };
    }
  }
  let status;
  try {
    status = await response.json();
  } catch (malformed) {
    status = undefined;
  }
  if (status?.service === STATUS_SERVICE && response.status === 403 && status.refused === "other-user") {
    return { kind: "other-user", endpoint };
  }
  if (!response.ok) return { kind: "foreign", endpoint, detail: `HTTP ${response.status}` };
  if (status?.service !== STATUS_SERVICE || !Number.isInteger(status.protocol)) {
    return { kind: "foreign", endpoint, detail: status === undefined ? "not JSON" : "not a connector's status" };
  }
  if (status.protocol !== PROTOCOL_VERSION) return { kind: "version", endpoint, protocol: status.protocol };
  return { kind: "mine", endpoint };
}

/**
 * The ConnectError for a search that found no connector of this user's: a refusal or a version mismatch says
 * most, then a denied browser permission, else nothing of this user's runs.
 * @param {Finding[]} findings
 * @returns {Promise<ConnectError>}
 */
async function failure(findings, permissions, single) {
  const refused = findings.find((f) => f.kind === "origin-refused");
  if (refused) {
    const { endpoint } = refused;
    const origin = endpoint.origin ?? "this page's origin";
    return new ConnectError(
      "origin-refused",
      `The Vaduna connector at ${endpoint.url} runs but does not accept pages from ${origin}. ` +
        (endpoint.origin === "null"
          ? `A page opened from a file has no origin the connector can allow: serve the page over http(s).`
          : `The site's administrator can allow it by starting the connector with --allow-origin ${origin}.`),
      { cause: refused.error },
    );
  }
  const newer = findings.find((f) => f.kind === "version");
  if (newer) {
    return new ConnectError(
      "protocol",
      `The Vaduna connector at ${newer.endpoint.url} speaks page protocol ${newer.protocol}, this page speaks ` +
        `${PROTOCOL_VERSION}: install matching versions of the connector and of vaduna-page.js.`,
    );
  }
  const unreachable = findings.filter((f) => f.kind === "unreachable");
  if (unreachable.length === findings.length && (await accessDenied(permissions))) {
    const origin = findings[0].endpoint.origin;
    return new ConnectError(
      "permission-denied",
      `The browser does not let this site reach the Vaduna connector on this computer. Allow the ` +
        `"local network" (or "loopback network") permission for ${origin ?? "this site"} in the site ` +
        `settings and reload.` +
        (isFramed() ? ` This page runs in a frame: its <iframe> also needs allow="loopback-network".` : ""),
      { cause: unreachable[0].error },
    );
  }
  const start = `Start ${CONNECTOR_EXE} on this computer`;
  if (single) {
    const [{ kind, endpoint, detail, error }] = findings;
    if (kind === "foreign") {
      return new ConnectError(
        "protocol",
        `Something other than the Vaduna connector answers at ${endpoint.status} (${detail}): check the port in ` +
          `the connector URL.`,
      );
    }
    if (kind === "other-user") {
      return new ConnectError(
        "not-running",
        `The Vaduna connector at ${endpoint.url} belongs to another user of this computer. ${start} (it takes ` +
          `the next free port) and connect without a URL, or with your connector's URL.`,
      );
    }
    return new ConnectError(
      "not-running",
      `No Vaduna connector answers at ${endpoint.url}. ${start} (or check the port in the connector URL) and ` +
        `try again.`,
      { cause: error },
    );
  }
  const ports = (kind) => findings.filter((f) => f.kind === kind).map((f) => f.endpoint.port);
  const others = ports("other-user");
  const foreign = ports("foreign");
  const seen = [
    others.length > 0 ? `another user's connector on ${others.join(", ")}` : "",
    foreign.length > 0 ? `something else on ${foreign.join(", ")}` : "",
  ].filter(Boolean);
  return new ConnectError(
    "not-running",
    `No Vaduna connector of yours answers on the ports ${findings.map((f) => f.endpoint.port).join(", ")}` +
      (seen.length > 0 ? ` (found ${seen.join("; ")})` : "") +
      `. ${start} and try again.`,
    { cause: unreachable[0]?.error },
  );
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
