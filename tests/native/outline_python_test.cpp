#include <gtest/gtest.h>

#include "outline_test_support.h"

namespace brightloom::testing {
namespace {

constexpr std::string_view INVENTORY_PY = R"py("""Inventory service."""
from __future__ import annotations

import functools

MAX_ITEMS = 10


def plain(a, b=2):
    return a + b


async def fetch(url: str) -> bytes:
    def helper():
        return 1
    return b""


@functools.lru_cache(maxsize=None)
def cached(key):
    return key


class Store(Base, metaclass=Meta):
    """A store."""

    rate = 3

    def __init__(self, name):
        self.name = name

    @property
    def label(self):
        return self.name

    @staticmethod
    @functools.cache
    async def load(cls):
        pass

    class Meta:
        ordering = ["name"]

        def inner(self):
            pass

    def total(self,
              tax: float) -> float:
        return 0.0


@dataclass
class Point:
    x: int
    y: int


def one_liner(): return 42
class Empty: pass
)py";

TEST(OutlinePython, ListsTopLevelDeclarationsAndClassMembers) {
    // Decorators do not move "line"; a nested class is listed at depth 1 but
    // its own methods, and functions inside functions, are not.
    const std::vector<SymbolRow> expected{
        {"function", "plain", 9, 10, 0, "def plain(a, b=2):"},
        {"function", "fetch", 13, 16, 0, "async def fetch(url: str) -> bytes:"},
        {"function", "cached", 20, 21, 0, "def cached(key):"},
        {"class", "Store", 24, 49, 0, "class Store(Base, metaclass=Meta):"},
        {"method", "__init__", 29, 30, 1, "def __init__(self, name):"},
        {"method", "label", 33, 34, 1, "def label(self):"},
        {"method", "load", 38, 39, 1, "async def load(cls):"},
        {"class", "Meta", 41, 45, 1, "class Meta:"},
        {"method", "total", 47, 49, 1, "def total(self,"},
        {"class", "Point", 53, 55, 0, "class Point:"},
        {"function", "one_liner", 58, 58, 0, "def one_liner(): return 42"},
        {"class", "Empty", 59, 59, 0, "class Empty: pass"},
    };
    EXPECT_EQ(outline_rows(INVENTORY_PY, "python"), expected);
}

TEST(OutlinePython, DeclarationsAfterASyntaxErrorAreStillListed) {
    // The broken statement becomes an error node, which is neither listed
    // nor entered; the reply is still a checked outline.
    const std::vector<SymbolRow> expected{
        {"function", "before", 1, 2, 0, "def before():"},
        {"function", "after", 6, 7, 0, "def after():"},
    };
    EXPECT_EQ(outline_rows("def before():\n    pass\n\n)\n\ndef after():\n    pass\n", "python"),
              expected);
}

}  // namespace
}  // namespace brightloom::testing
