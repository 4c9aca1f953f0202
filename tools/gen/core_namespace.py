"""Puts a generated C++ source in the library's internal namespace.

The namespace opens after the file's include block and closes at its end,
the same way every hand-written source of the library does.
"""

OPEN = "namespace tilo2::core {"
CLOSE = "}  // namespace tilo2::core"


def wrap(text):
    lines = text.split("\n")
    last = max((i for i, line in enumerate(lines)
                if line.strip().startswith("#include") or line.strip() == "#pragma once"), default=-1)
    j = last + 1
    while j < len(lines) and lines[j].strip().startswith("#endif"):
        last, j = j, j + 1
    head, body = lines[: last + 1], lines[last + 1:]
    while body and not body[0].strip():
        body.pop(0)
    while body and not body[-1].strip():
        body.pop()
    return "\n".join(head + ["", OPEN, ""] + body + ["", CLOSE, ""])
