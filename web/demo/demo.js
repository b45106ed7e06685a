// The demo web application: an "Account Service" offered to desktop clients through the connector. It
// connects on load (to the connector URL of ?bridge=ws://127.0.0.1:PORT/, else to this user's connector on the ports
// connectors listen on), shows its connection state and lists every
// call it receives. window.vadunaDemo = { state, calls, ... } lets a test read the same.

import { connect, createApplication, DEFAULT_PORTS, PropertySet, Service } from "../vaduna-page.js";

const bridge = new URLSearchParams(location.search).get("bridge") || undefined;

/**
 * @type {{state: string, reason: string | null, error: {code: string, message: string} | null, url: string,
 *   calls: {time: string, service: string, method: string, input: Record<string, string>, result: string,
 *   ok: boolean | null}[]}}
 * state: "connecting", "attached", "detached" (reason says why) or "failed" (error says why); url: the connector's
 * once attached.
 */
const demo = { state: "starting", reason: null, error: null, url: bridge, calls: [] };
window.vadunaDemo = demo;

// The account records, as the web application would hold them. Balances are in cents.
const accounts = [
  { id: "A-1001", customer: "ACME", name: "ACME Operating", balance: 1250000 },
  { id: "A-1002", customer: "ACME", name: "ACME Payroll", balance: -34025 },
  { id: "B-2001", customer: "Borealis", name: "Borealis Main", balance: 98010 },
  { id: "Z-3001", customer: "Zürich – Αθήνα", name: "Zürich – Αθήνα Handelskontor", balance: 4200050 },
];

const money = (cents) => (cents / 100).toFixed(2);
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

/** A service whose calls are written to the log. */
class LoggedService extends Service {
  InvokeMethod(method, input) {
    return logged(this.Name(), String(method), input, () => super.InvokeMethod(method, input));
  }
}

const accountService = new LoggedService("Account Service", {
  // Input "Customer"; output of type "AccountList" whose value is the number of records, one child "Account"
  // (properties Id, Name, Balance) per record.
  Query(input, output) {
    const customer = input.GetProperty("Customer");
    output.SetType("AccountList");
    output.SetProperty("Customer", customer);
    for (const account of accounts.filter((a) => a.customer === customer)) {
      output.AddChild(
        new PropertySet({
          type: "Account",
          value: account.id,
          properties: { Id: account.id, Name: account.name, Balance: money(account.balance) },
        }),
      );
    }
    output.SetValue(String(output.GetChildCount()));
  },
  Echo: (input) => input,
  Nothing: () => null,
  // As if the balances came from a back end: the answer arrives later, other calls go on meanwhile.
  async Balance(input, output) {
    await pause(300);
    const customer = input.GetProperty("Customer");
    const records = accounts.filter((a) => customer === "" || a.customer === customer);
    const total = money(records.reduce((sum, a) => sum + a.balance, 0));
    output.SetType("Balance");
    output.SetProperty("Customer", customer);
    output.SetProperty("Accounts", String(records.length));
    output.SetProperty("Total", total);
    output.SetValue(total);
  },
});

const application = createApplication({ name: "Vaduna Demo Web Application", services: [accountService] });

// The page's application object for the connector: the library's one, with each call written to the log.
const page = {
  Name: () => application.Name(),
  IsReady: () => application.IsReady(),
  NewPropertySet: () => application.NewPropertySet(),
  GetService(name) {
    return logged(String(name), "(GetService)", null, () => application.GetService(name));
  },
};

// ---- The call log ----

const rows = document.getElementById("calls");

/**
 * A result as lines: a property set on one line, each child on a line of its own below it, one level deeper.
 * @returns {{depth: number, text: string}[]}
 */
function describe(value, depth = 0) {
  if (value === null || value === undefined) return [{ depth, text: "nothing (no output set)" }];
  if (value instanceof Service) return [{ depth, text: `service "${value.Name()}"` }];
  if (!(value instanceof PropertySet)) return [{ depth, text: String(value) }];
  const properties = [...value].map(([name, text]) => `${name}=${text}`).join(", ");
  let text = `${value.type || "(no type)"} "${value.value}"`;
  if (properties) text += ` {${properties}}`;
  return [{ depth, text }, ...value.children.flatMap((child) => describe(child, depth + 1))];
}

/** The lines as one text, each indented by two spaces a level (what `calls` holds). */
const asText = (lines) => lines.map(({ depth, text }) => "  ".repeat(depth) + text).join("\n");

/** Runs `work` for one received call and logs it with its result or failure. */
async function logged(service, method, input, work) {
  const entry = {
    time: new Date().toISOString().slice(11, 23),
    service,
    method,
    input: input instanceof PropertySet ? Object.fromEntries(input) : {},
    result: "…",
    ok: null,
  };
  demo.calls.push(entry);
  const cells = addRow(entry);
  let lines;
  try {
    const result = await work();
    lines = describe(result);
    entry.ok = true;
    return result;
  } catch (error) {
    lines = [{ depth: 0, text: `failed: ${error.message}` }];
    entry.ok = false;
    throw error;
  } finally {
    entry.result = asText(lines);
    showResult(cells.result, lines);
    cells.result.className = entry.ok ? "result" : "result failed";
    showStatus(cells.status, entry.ok ? "ok" : "failed");
  }
}

function addRow(entry) {
  document.getElementById("empty")?.remove();
  const row = rows.insertRow();
  const cell = (text, className = "") => {
    const td = row.insertCell();
    td.textContent = text; // the client's text is shown, never parsed as markup
    td.className = className;
    return td;
  };
  cell(String(demo.calls.length), "number");
  cell(entry.time, "time");
  cell(entry.service, "service");
  cell(entry.method, "method");
  const input = Object.entries(entry.input).map(([name, value]) => `${name}=${value}`);
  cell(input.join(", ") || "—", "input");
  const status = cell("", "status");
  showStatus(status, "pending");
  document.getElementById("count").textContent = `(${demo.calls.length})`;
  return { status, result: cell(entry.result, "result pending") };
}

/** One block per line of a result, indented by its depth, so that a wrapped line keeps its indent. */
function showResult(cell, lines) {
  cell.replaceChildren(
    ...lines.map(({ depth, text }) => {
      const block = document.createElement("div");
      block.textContent = text; // the client's text is shown, never parsed as markup
      block.style.marginLeft = `${depth * 1.5}em`;
      return block;
    }),
  );
}

function showStatus(cell, status) {
  const badge = document.createElement("span");
  badge.className = `badge ${status}`;
  badge.textContent = status;
  cell.replaceChildren(badge);
}

// ---- The connection ----

const connection = document.getElementById("connection");
const reconnect = document.getElementById("reconnect");
document.getElementById("url").textContent =
  bridge ?? `127.0.0.1, ports ${DEFAULT_PORTS[0]} to ${DEFAULT_PORTS.at(-1)}`;

function show(state, detail) {
  demo.state = state;
  connection.dataset.state = state;
  document.getElementById("state").textContent = state;
  document.getElementById("detail").textContent = detail;
  reconnect.hidden = state === "connecting" || state === "attached";
}

async function start() {
  demo.reason = null;
  demo.error = null;
  show("connecting", "asking the connector…");
  try {
    const link = await connect(page, {
      url: bridge,
      onDetach(reason) {
        demo.reason = reason;
        show("detached", reasonText(reason));
      },
      onStatus(state) {
        if (state === "consent-pending") show("connecting", "waiting for the desktop user to allow this site…");
        if (state === "server-lost") show("attached", "the desktop server ended; the connector is starting another…");
        if (state === "reattached") show("attached", "attached to the new desktop server");
      },
    });
    demo.url = link.url;
    document.getElementById("url").textContent = link.url;
    show("attached", "desktop programs can now use the Account Service");
    window.addEventListener("pagehide", () => link.close(), { once: true });
  } catch (error) {
    demo.error = { code: error.code ?? "error", message: error.message };
    show("failed", `${error.code ?? "error"}: ${error.message}`);
  }
}

function reasonText(reason) {
  switch (reason) {
    case "replaced":
      return "another page attached to the desktop server in place of this one";
    case "shutdown":
      return "the connector is stopping";
    case "connection-lost":
      return "the connection to the connector was lost";
    default:
      return `the link ended (${reason})`;
  }
}

reconnect.addEventListener("click", start);
start();
