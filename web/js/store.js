// The page's one copy of what it knows about the unit; views subscribe and redraw from it.

export function createStore(initial) {
    let state = initial;
    const listeners = new Set();
    return {
        get: () => state,
        update(patch) {
            state = { ...state, ...patch };
            for (const listener of listeners) listener(state);
        },
        subscribe(listener) {
            listeners.add(listener);
            listener(state);
            return () => listeners.delete(listener);
        },
    };
}
