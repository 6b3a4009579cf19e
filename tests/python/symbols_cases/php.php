<?php
namespace App\Models;

use Illuminate\Support\Collection;

interface Shape { public function area(); }

trait Named { }

class Circle extends Base implements Shape {
    use Named;
    const PI = 3.14;
    private $radius;

    public function area() {
        // not_called()
        return compute($this->radius, "not_called()");
    }
}

function make() { return new Circle(); }
