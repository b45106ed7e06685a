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
export function createApplication({ name, services, ready }: ApplicationOptions): PageApplication;
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
    /**
     * @param {string} name
     * @param {Record<string, ServiceMethod>} methods
     */
    constructor(name: string, methods: Record<string, ServiceMethod>);
    Name(): string;
    get name(): string;
    /**
     * Calls method `method` with the input set and a fresh output set, and answers the output set (see
     * ServiceMethod). An unknown method, or a method answering anything else, throws.
     * @param {string} method
     * @param {PropertySet} input
     * @returns {Promise<PropertySet | null>}
     */
    InvokeMethod(method: string, input: PropertySet): Promise<PropertySet | null>;
    #private;
}
export type ApplicationOptions = {
    /**
     * what the application's Name() answers
     */
    name: string;
    /**
     * the services GetService finds, by their Name()
     */
    services?: Iterable<Service> | undefined;
    /**
     * what IsReady() answers (default true)
     */
    ready?: boolean | (() => boolean) | undefined;
};
export type PageApplication = {
    Name: () => string;
    /**
     * throws for an unknown name
     */
    GetService: (name: string) => Service;
    NewPropertySet: () => PropertySet;
    IsReady: () => boolean;
};
export type ServiceMethod = (input: PropertySet, output: PropertySet) => PropertySet | null | undefined | Promise<PropertySet | null | undefined>;
import { PropertySet } from "./property-set.js";
