/**
 * A value that a property set keeps as its string (null and undefined as "").
 * @typedef {string | number | boolean | null | undefined} Text
 */
/**
 * @typedef {object} PropertySetInit
 * @property {string} [type]
 * @property {string} [value]
 * @property {Record<string, Text> | Iterable<[string, Text]>} [properties] names and values (made strings)
 * @property {Iterable<PropertySet | PropertySetInit>} [children]
 */
/**
 * A property set: named string properties in insertion order, a type, a value and ordered child sets. It carries
 * every member the server calls by name, plus JS accessors (`get`, `set`, `has`, `delete`, `size`, `type`,
 * `value`, `children`, iteration, `toJSON`). `new PropertySet(set.toJSON())` makes a deep copy.
 */
export class PropertySet {
    /** @param {PropertySet} set */
    static #partsOf: (set: PropertySet) => {
        type: string;
        value: string;
        properties: Map<string, string>;
        children: PropertySet[];
    };
    /** @param {PropertySetInit} [init] */
    constructor(init?: PropertySetInit);
    /**
     * The property's value, or "" when there is none.
     * @param {string} name
     */
    GetProperty(name: string): string;
    /**
     * Sets a property, adding it at the end or replacing its value in place. The empty name is refused: the
     * iteration members answer "" for "no more properties", so such a property could never be listed.
     * @param {string} name
     * @param {Text} value
     */
    SetProperty(name: string, value: Text): void;
    /** @param {string} name */
    PropertyExists(name: string): boolean;
    /**
     * true when the property was there. A running iteration goes on with the next property.
     * @param {string} name
     */
    RemoveProperty(name: string): boolean;
    /** Starts the iteration over the property names: the first name, or "" when there is none. */
    GetFirstProperty(): string;
    /** The next name, or "" when there is none left. Without GetFirstProperty it starts at the first name. */
    GetNextProperty(): string;
    GetPropertyCount(): number;
    GetType(): string;
    /** @param {Text} type */
    SetType(type: Text): boolean;
    GetValue(): string;
    /** @param {Text} value */
    SetValue(value: Text): boolean;
    /** Empties the set: no properties, type and value "", no children, iteration at the start. */
    Reset(): void;
    /**
     * Appends a child set; false (nothing added) for anything but a PropertySet, or one that contains this set.
     * @param {PropertySet} child
     */
    AddChild(child: PropertySet): boolean;
    /**
     * Inserts a child before `index`, clamped to the list (negative: first, past the end: last).
     * @param {PropertySet} child
     * @param {number} index
     */
    InsertChildAt(child: PropertySet, index: number): void;
    /**
     * Removes the child at `index`; false when there is none.
     * @param {number} index
     */
    RemoveChild(index: number): boolean;
    /**
     * The child at `index`, or null when there is none.
     * @param {number} index
     */
    GetChild(index: number): PropertySet | null;
    GetChildCount(): number;
    /** The whole set, children included, as one string that DecodeFromString reads back exactly. */
    EncodeAsString(): string;
    /**
     * Replaces the whole content with the set encoded in `text`. Text that EncodeAsString did not make throws a
     * SyntaxError and leaves the set as it was.
     * @param {string} text
     */
    DecodeFromString(text: string): void;
    /**
     * The property's value, or undefined when there is none.
     * @param {string} name
     */
    get(name: string): string | undefined;
    /**
     * Sets a property (see SetProperty); returns the set, for chaining.
     * @param {string} name
     * @param {Text} value
     */
    set(name: string, value: Text): this;
    /** @param {string} name */
    has(name: string): boolean;
    /** @param {string} name */
    delete(name: string): boolean;
    get size(): number;
    /** @param {Text} type */
    set type(type: Text);
    get type(): Text;
    /** @param {Text} value */
    set value(value: Text);
    get value(): Text;
    /** A frozen snapshot of the children; change them through AddChild, InsertChildAt and RemoveChild. */
    get children(): readonly PropertySet[];
    /** @returns {IterableIterator<string>} */
    keys(): IterableIterator<string>;
    /** @returns {IterableIterator<[string, string]>} */
    entries(): IterableIterator<[string, string]>;
    /** @returns {{type: string, value: string, properties: Record<string, string>, children: object[]}} */
    toJSON(): {
        type: string;
        value: string;
        properties: Record<string, string>;
        children: object[];
    };
    /** Iterates over [name, value] pairs, in insertion order (a snapshot: changes during the loop are not seen). */
    [Symbol.iterator](): IterableIterator<[string, string]>;
    #private;
}
/**
 * A value that a property set keeps as its string (null and undefined as "").
 */
export type Text = string | number | boolean | null | undefined;
export type PropertySetInit = {
    type?: string | undefined;
    value?: string | undefined;
    /**
     * names and values (made strings)
     */
    properties?: Record<string, Text> | Iterable<[string, Text]> | undefined;
    children?: Iterable<PropertySet | PropertySetInit> | undefined;
};
