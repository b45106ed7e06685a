// The page of the connector bench (bench/run-connector-bench.sh). It attaches a "Bench Service" through the page
// connector (URL from ?bridge=ws://127.0.0.1:PORT/) and answers every call at once; it keeps nothing per call, so
// that its heap stays flat under load. window.vadunaBench = { state, reason, error, startEcho(url), timing,
// pageShare() } lets the runner read its state, open the echo socket of the bench's WebSocket floor and read the
// page's share of a call through the DevTools protocol.

import { connect, createApplication, Service } from "./vaduna-page.js";

const bench = { state: "starting", reason: null, error: null, echo: "closed" };
window.vadunaBench = bench;

const show = (state) => {
  bench.state = state;
  document.getElementById("state").textContent = state;
};

// Copy answers a fresh output set every time (the library's Service makes one per call): each call hands the
// connector a new page object, which the server binds and later lets go, so the load exercises the release path.
const service = new Service("Bench Service", {
  Copy(input, output) {
    output.SetProperty("Customer", input.GetProperty("Customer"));
  },
});
const application = createApplication({ name: "Vaduna Connector Bench Page", services: [service] });

// ---- The page's share of a call: from a frame's arrival to the send of its reply, in the page ----
// Recorded only while timing.on (the runner's measure step, one call at a time), into fixed storage, so that the
// load and its memory readings are not affected. Kept apart for the library's socket and for the echo socket.

const CAPACITY = 50_000;
const share = () => ({ count: 0, samples: new Float64Array(CAPACITY) });
const timing = { on: false, library: share(), echo: share() };
bench.timing = timing;

function record(kind, arrived) {
  const took = performance.now() - arrived;
  if (kind.count < CAPACITY) kind.samples[kind.count++] = took;
}

/** The library's socket, timed: the first "message" listener stamps the arrival, send() of the reply records. */
class TimedWebSocket extends WebSocket {
  #arrived = -1;

  constructor(url) {
    super(url);
    this.addEventListener("message", () => {
      this.#arrived = timing.on ? performance.now() : -1;
    });
  }

  send(text) {
    if (this.#arrived >= 0 && typeof text === "string" && text.startsWith('{"op":"reply"')) {
      record(timing.library, this.#arrived);
      this.#arrived = -1;
    }
    super.send(text);
  }
}

function summary(kind) {
  const values = Array.from(kind.samples.subarray(0, kind.count)).sort((a, b) => a - b);
  const at = (fraction) => (values.length ? values[Math.round(fraction * (values.length - 1))] * 1000 : 0);
  const mean = values.length ? (values.reduce((sum, value) => sum + value, 0) / values.length) * 1000 : 0;
  return { count: values.length, mean, median: at(0.5), p10: at(0.1), p90: at(0.9) };
}

/**
 * The page's share of the timed calls in microseconds (mean, median, p10, p90), for the library and for the echo.
 * The clock's resolution matters: performance.now() is coarsened in a page that is not cross-origin isolated.
 */
bench.pageShare = () =>
  JSON.stringify({
    isolated: globalThis.crossOriginIsolated === true,
    library: summary(timing.library),
    echo: summary(timing.echo),
  });

/**
 * Opens the echo socket to the bench's own WebSocket endpoint: every frame (a call in the connector's shape) is
 * answered at once with a reply in the library's shape, carrying what the service's Name answers, without the
 * library's call handling. Resolves once the socket is open.
 * @param {string} url
 */
bench.startEcho = (url) =>
  new Promise((resolve, reject) => {
    const socket = new WebSocket(url);
    socket.onopen = () => {
      bench.echo = "open";
      resolve("open");
    };
    socket.onerror = () => reject(new Error(`the echo socket to ${url} failed`));
    socket.onclose = () => (bench.echo = "closed");
    socket.onmessage = (event) => {
      const arrived = timing.on ? performance.now() : -1;
      const call = JSON.parse(event.data);
      const reply = JSON.stringify({ op: "reply", rid: call.rid, value: service.Name() });
      if (arrived >= 0) record(timing.echo, arrived); // up to the send, as for the library's socket
      socket.send(reply);
    };
  });

const bridge = new URLSearchParams(location.search).get("bridge");
let link = null;
addEventListener("pagehide", () => link?.close());

show("connecting");
connect(application, {
  url: bridge,
  WebSocket: TimedWebSocket,
  onDetach: (reason) => {
    bench.reason = reason;
    show("detached");
  },
}).then(
  (attached) => {
    link = attached;
    show("attached");
  },
  (error) => {
    bench.error = { code: error.code ?? "", message: String(error.message ?? error) };
    show("failed");
  },
);
