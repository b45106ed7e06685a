/**
 * The page's objects that the connector holds references to. Ids are positive, unique within the connection and
 * never reused; an object keeps its id while it is in the table. Each reference sent counts one export; `release`
 * subtracts what the connector received, and the object leaves the table at 0.
 */
export class ObjectTable {
  /** @type {Map<number, {object: object, exports: number}>} */
  #byId = new Map();
  /** @type {Map<object, number>} */
  #idOf = new Map();
  #nextId = 1;

  /** Counts one export of `object` and answers its id. */
  export(object) {
    let id = this.#idOf.get(object);
    if (id === undefined) {
      id = this.#nextId++;
      this.#idOf.set(object, id);
      this.#byId.set(id, { object, exports: 0 });
    }
    this.#byId.get(id).exports++;
    return id;
  }

  /** Takes back an export that was never sent. */
  unexport(id) {
    this.release(id, 1);
  }

  /** @returns {object | undefined} */
  object(id) {
    return this.#byId.get(id)?.object;
  }

  release(id, count) {
    const entry = this.#byId.get(id);
    if (entry === undefined) return;
    entry.exports -= count;
    if (entry.exports <= 0) {
      this.#byId.delete(id);
      this.#idOf.delete(entry.object);
    }
  }

  clear() {
    this.#byId.clear();
    this.#idOf.clear();
  }

  get size() {
    return this.#byId.size;
  }
}
