// Services and the application object, ready-made for pages.

import { HIDDEN_MEMBERS, memberLevels } from "./members.js";
import { PropertySet } from "./property-set.js";
import { asText } from "./text.js";

/**
 * @callback ServiceMethod
 * @param {PropertySet} input the input set the client passed
 * @param {PropertySet} output a fresh output set to fill
 * @returns {PropertySet | null | undefined | Promise<PropertySet | null | undefined>} undefined: `output` is the
 *   answer; a PropertySet: that one is; null: the method has no output set
 */

/**
 * A business service: a name and methods called through InvokeMethod by exact method name. The methods are
 * `methods`'s own or inherited functions (never those of Object.prototype); they run with `this` bound to it.
 */
export class Service {
  #name;
  #methods;

  /**
   * @param {string} name
   * @param {Record<string, ServiceMethod>} methods
   */
  constructor(name, methods) {
    if (typeof name !== "string" || name === "") throw new TypeError("Service: the name must be a non-empty string");
    if (methods === null || typeof methods !== "object") throw new TypeError("Service: methods must be an object");
    this.#name = name;
    this.#methods = methods;
  }

  Name() {
    return this.#name;
  }

  get name() {
    return this.#name;
  }

  /**
   * Calls method `method` with the input set and a fresh output set, and answers the output set (see
   * ServiceMethod). An unknown method, or a method answering anything else, throws.
   * @param {string} method
   * @param {PropertySet} input
   * @returns {Promise<PropertySet | null>}
   */
  async InvokeMethod(method, input) {
    method = asText(method);
    const found =
      !HIDDEN_MEMBERS.has(method.toLowerCase()) &&
      memberLevels(this.#methods).some((level) => Object.hasOwn(level, method));
    const fn = found ? this.#methods[method] : undefined;
    if (typeof fn !== "function") throw new Error(`Service "${this.#name}" has no method "${method}"`);
    const output = new PropertySet();
    const result = await fn.call(this.#methods, input, output);
    if (result === undefined) return output;
    if (result === null || result instanceof PropertySet) return result;
    throw new TypeError(`Method "${method}" of service "${this.#name}" answered neither a PropertySet nor null`);
  }
}

/**
 * @typedef {object} ApplicationOptions
 * @property {string} name what the application's Name() answers
 * @property {Iterable<Service>} [services] the services GetService finds, by their Name()
 * @property {boolean | (() => boolean)} [ready] what IsReady() answers (default true)
 */

/**
 * @typedef {object} PageApplication
 * @property {() => string} Name
 * @property {(name: string) => Service} GetService throws for an unknown name
 * @property {() => PropertySet} NewPropertySet
 * @property {() => boolean} IsReady
 */

/**
 * An application object with the members the server calls.
 * @param {ApplicationOptions} options
 * @returns {PageApplication}
 */
export function createApplication({ name, services = [], ready = true }) {
  if (typeof name !== "string") throw new TypeError("createApplication: name must be a string");
  const byName = new Map();
  for (const service of services) {
    const serviceName = typeof service?.Name === "function" ? service.Name() : undefined;
    if (typeof serviceName !== "string") throw new TypeError("createApplication: a service without a Name()");
    if (byName.has(serviceName)) throw new RangeError(`createApplication: two services named "${serviceName}"`);
    byName.set(serviceName, service);
  }
  return {
    Name: () => name,
    GetService(serviceName) {
      serviceName = asText(serviceName);
      const service = byName.get(serviceName);
      if (service === undefined) throw new Error(`No service "${serviceName}"`);
      return service;
    },
    NewPropertySet: () => new PropertySet(),
    IsReady: () => Boolean(typeof ready === "function" ? ready() : ready),
  };
}
