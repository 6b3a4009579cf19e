import type { QueryKey } from "./types";

export interface Options<T> {
    key: QueryKey;
    run(input: T): Promise<T>;
}

export type Status = "idle" | "busy";

enum Mode { Fast, Slow = 2 }

namespace Cache {
    export const size = 4;
}

export abstract class Observer<T> implements Listener<T> {
    private options: Options<T>;
    abstract notify(): void;
    update() { return build(); } // not_called()
}
