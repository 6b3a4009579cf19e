const fs = require("fs");
import { join } from "path";

export const Layout = (props) => render(props);
let count = 0;

module.exports = {
    meta: { type: "problem" },
    create(context) {
        return new Visitor(context); // not_called()
    },
};

class Visitor extends Base {
    #seen = new Set();
    visit(node) { return "not_called()"; }
}

exports.helper = function () {};
