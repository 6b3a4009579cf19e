package org.sample;

import java.util.List;

@Service
public class Registry extends Base implements Closeable {
    private static final int LIMIT = 4;
    private List<String> names;

    public Registry() {
        names = new ArrayList<>(); // not_called()
    }

    public void close() {
        names.clear();
        log("not_called()");
    }

    enum State { OPEN, CLOSED }
}
