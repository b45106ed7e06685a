// A TypeScript page that uses the whole public API; it must compile with --strict.
import {
  CLOSE_TIMEOUT_MS,
  ConnectError,
  DEFAULT_CONSENT_TIMEOUT_MS,
  DEFAULT_PORT,
  DEFAULT_PORTS,
  DEFAULT_TIMEOUT_MS,
  DEFAULT_URL,
  MAX_FRAME_BYTES,
  PORT_COUNT,
  PORT_TIMEOUT_MS,
  PROTOCOL_VERSION,
  PropertySet,
  Service,
  connect,
  createApplication,
  type ConnectErrorCode,
  type ConnectOptions,
  type DetachReason,
  type Link,
  type LinkStatus,
  type PageApplication,
  type ServiceMethod,
} from "vaduna-page";

const numbers: number[] = [CLOSE_TIMEOUT_MS, DEFAULT_CONSENT_TIMEOUT_MS, DEFAULT_PORT, DEFAULT_TIMEOUT_MS];
numbers.push(MAX_FRAME_BYTES, PORT_COUNT, PORT_TIMEOUT_MS, PROTOCOL_VERSION, ...DEFAULT_PORTS);
const url: string = DEFAULT_URL;

const set = new PropertySet({ type: "Order", value: "1", properties: { Customer: "ACME", Lines: 3 } });
set.SetProperty("Paid", true);
set.set("Note", null).set("Total", 12.5);
const names: string[] = [set.GetProperty("Customer"), set.GetFirstProperty(), set.GetNextProperty(), set.GetType()];
const found: boolean = set.PropertyExists("x") || set.RemoveProperty("x") || set.has("y") || set.delete("y");
const note: string | undefined = set.get("Note");
set.SetType("Order");
set.SetValue(2);
set.type = "Invoice";
set.value = set.value + set.type;
set.AddChild(new PropertySet());
set.InsertChildAt(new PropertySet({ children: [{ type: "Line" }] }), 0);
const child: PropertySet | null = set.GetChild(0);
set.RemoveChild(set.GetChildCount() - 1);
const copy = new PropertySet(set.toJSON());
copy.DecodeFromString(set.EncodeAsString());
for (const [name, value] of copy) names.push(name, value);
names.push(...copy.keys(), ...[...copy.entries()].flat(), String(copy.size + copy.GetPropertyCount()));
const children: readonly PropertySet[] = copy.children;
copy.Reset();

const find: ServiceMethod = async (input, output) => {
  output.SetProperty("Customer", input.GetProperty("Customer"));
};
const orders = new Service("Orders", { Find: find, None: () => null, Same: (input) => input });
const answer: Promise<PropertySet | null> = orders.InvokeMethod("Find", set);
const app: PageApplication = createApplication({ name: "Shop", services: [orders], ready: () => true });
const serviceName: string = app.GetService("Orders").Name() + orders.name + app.Name();

async function attach(): Promise<Link | ConnectErrorCode> {
  const options: ConnectOptions = {
    url: DEFAULT_URL,
    ports: DEFAULT_PORTS,
    portTimeout: 500,
    timeout: 5000,
    consentTimeout: 30_000,
    onDetach: (reason: DetachReason) => console.log(reason),
    onStatus: (state: LinkStatus) => console.log(state === "server-lost"),
    WebSocket,
    fetch,
  };
  try {
    const link = await connect(app, options);
    const about: [string, boolean, number] = [link.url, link.attached, link.objectCount];
    const ended: DetachReason = await Promise.race([link.closed, link.close()]);
    console.log(about, ended);
    return link;
  } catch (error) {
    if (error instanceof ConnectError && error.code === "consent-denied") return error.code;
    throw error;
  }
}

export { answer, attach, child, children, found, names, note, numbers, serviceName, url };
