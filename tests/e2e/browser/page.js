// The page of the browser end-to-end tests. It attaches a "Text Service" (and a
// second service whose name is beyond ASCII) to the server through the page
// connector (URL from ?bridge=ws://127.0.0.1:PORT/, else the connectors' range
// searched) and records what it receives; window.vadunaTest lets the tests read
// it through the DevTools protocol or WebDriver BiDi: state ("connecting",
// "attached", "detached", "failed"), reason (of a detach), error ({code,
// message} of a failed connect()), calls (the server's GetService calls),
// methods (every service method as it starts), running (service methods not
// finished yet), statuses (the connector's reports, onStatus) and objects()
// (how many page objects the connector holds references to).
//
// Wine's VBScript cannot write text beyond ASCII (no ChrW), so the client
// writes it as %uXXXX escapes: Decode turns them into text on the page, Encode
// turns text back into escapes, so the client can check every code unit that
// crossed.

import { connect, createApplication, PropertySet, Service } from "./vaduna-page.js";

const test = { state: "starting", reason: null, error: null, calls: [], methods: [], running: 0, statuses: [], objects: () => 0 };
window.vadunaTest = test;

const show = (state) => {
  test.state = state;
  document.getElementById("state").textContent = state;
};

/** "%uXXXX" escapes (any code unit, also a lone surrogate or NUL) to text; everything else stays. */
const unescapeUnits = (text) => text.replace(/%u([0-9A-Fa-f]{4})/g, (_, hex) => String.fromCharCode(parseInt(hex, 16)));

/** Every code unit outside printable ASCII, and "%", as "%uXXXX". */
const escapeUnits = (text) =>
  [...Array(text.length).keys()]
    .map((i) => {
      const unit = text.charCodeAt(i);
      return unit < 0x20 || unit > 0x7e || unit === 0x25 ? "%u" + unit.toString(16).toUpperCase().padStart(4, "0") : text[i];
    })
    .join("");

const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Records each method as it starts and while it runs.
const recorded = (methods) =>
  Object.fromEntries(
    Object.entries(methods).map(([name, method]) => [
      name,
      async function (...args) {
        test.methods.push(name);
        test.running++;
        try {
          return await method.apply(this, args);
        } finally {
          test.running--;
        }
      },
    ]),
  );

const textService = new Service(
  "Text Service",
  recorded({
    Decode(input, output) {
      output.SetProperty("Text", unescapeUnits(input.GetProperty("Escaped")));
    },
    Encode(input, output) {
      output.SetProperty("Escaped", escapeUnits(input.GetProperty("Text")));
    },
    // One child per property of the input, in order: type "Entry", value the property's name.
    Split(input, output) {
      output.SetType("Entries");
      for (const [name, value] of input) {
        output.AddChild(new PropertySet({ type: "Entry", value: name, properties: { Value: value } }));
      }
    },
    Echo: (input) => input,
    // Answers after the input's "Ms" milliseconds: a Promise the connector waits for.
    async Later(input, output) {
      await pause(Number(input.GetProperty("Ms")) || 0);
      output.SetProperty("Done", "yes");
    },
    // Answers with a set of its own after the input's "Ms" milliseconds.
    async Fresh(input) {
      await pause(Number(input.GetProperty("Ms")) || 0);
      return new PropertySet({ type: "Fresh", properties: { Done: "yes" } });
    },
    // Never answers.
    Never: () => new Promise(() => {}),
    Fail() {
      throw new Error("The page refuses this on purpose");
    },
  }),
);

// A service whose name is beyond ASCII: "Z\u00FCrich \u6771\u4EAC".
const cityService = new Service(
  "Z\u00FCrich \u6771\u4EAC",
  recorded({
    Where(input, output) {
      output.SetProperty("City", "Z\u00FCrich");
    },
  }),
);

const application = createApplication({ name: "Vaduna Browser Test Page", services: [textService, cityService] });

// The server's calls of the application object, recorded.
const page = {
  Name: () => application.Name(),
  IsReady: () => application.IsReady(),
  NewPropertySet: () => application.NewPropertySet(),
  GetService(name) {
    test.calls.push(`GetService ${name}`);
    return application.GetService(name);
  },
};

const bridge = new URLSearchParams(location.search).get("bridge");
show("connecting");
try {
  const link = await connect(page, {
    url: bridge ?? undefined, // none: the connectors' ports are searched
    onDetach(reason) {
      test.reason = reason;
      show("detached");
    },
    onStatus: (status) => test.statuses.push(status),
  });
  test.objects = () => link.objectCount;
  show("attached");
  window.addEventListener("pagehide", () => link.close(), { once: true });
} catch (error) {
  test.error = { code: error.code, message: error.message };
  show("failed");
}
