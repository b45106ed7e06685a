// A TypeScript page that misuses the API: each line marked "misuse" must be a compile error under --strict.
import { ConnectError, PropertySet, Service, connect, createApplication, type Link } from "vaduna-page";

const set = new PropertySet({ type: "Order", properties: { Customer: {} } }); // misuse
set.SetProperty("Customer"); // misuse
set.GetChild("first"); // misuse
set.AddChild({ type: "Line" }); // misuse
const count: string = set.GetChildCount(); // misuse
new Service("Orders", { Find: "not a function" }); // misuse
createApplication({ services: [] }); // misuse
connect({}, { timeout: "10" }); // misuse
connect({}, { onStatus: (state: number) => state }); // misuse
connect({}, { port: 47000 }); // misuse
connect("Shop"); // misuse
async function check(link: Link, error: ConnectError) {
  link.url = "ws://elsewhere/"; // misuse
  const reason: number = await link.closed; // misuse
  if (error.code === "refused") return reason; // misuse
}
export { check, count };
