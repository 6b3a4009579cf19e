import os.path
from typing import Optional as Opt

LIMIT = 3
if os.name == "nt":
    sep = "\\"


@decorate
class Handle(Base):
    size = 0

    def poll(self, cx: Context) -> Opt:
        def inner():
            return helper()  # not_called()
        return "not_called()"


square = lambda x: x * x
