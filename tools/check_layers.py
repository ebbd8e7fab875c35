#!/usr/bin/env python3
"""Fails when a source file includes a header of a layer it may not use.

The layers, bottom up: hw, engine, devices, program, mapping, one directory per generation under
backends/, backends/ itself (the one place that chooses a generation), python. An include only
goes downward, and a generation never includes another's headers.

    check_layers.py [ROOT]    prints each include outside the table and exits 1 if there is one
"""
import pathlib
import re
import sys

BELOW_GENERATIONS = {"hw", "engine", "devices", "program", "mapping"}


def allowed(root: pathlib.Path) -> dict[str, set[str]]:
    """Each directory of the library and what its files may include (besides the standard library
    and third-party headers, which are included with <...>): every directory of backends/ is a
    generation, which sees the layers below it and itself only."""
    backends = root / "backends"
    generations = sorted(f"backends/{d.name}" for d in backends.glob("*") if d.is_dir())
    table = {
        "hw": {"hw"},
        "engine": {"hw", "engine"},
        "engine/sim": {"hw", "engine", "engine/sim"},  # the simulated board of the test builds
        "devices": {"hw", "engine", "devices"},
        "program": {"hw", "engine", "devices", "program"},
        "mapping": set(BELOW_GENERATIONS),
        "backends": BELOW_GENERATIONS | set(generations) | {"backends"},
        "python": BELOW_GENERATIONS | {"backends", "python"},
    }
    for generation in generations:
        table[generation] = BELOW_GENERATIONS | {generation}
    return table


INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)"')


def layer_of(path: str, table: dict[str, set[str]]) -> str | None:
    """The layer a repository path (of a source file or of an included header) belongs to."""
    parts = path.split("/")
    for depth in (2, 1):
        if len(parts) > depth and "/".join(parts[:depth]) in table:
            return "/".join(parts[:depth])
    return None


def violations(root: pathlib.Path) -> list[str]:
    found = []
    table = allowed(root)
    tops = sorted({layer.split("/")[0] for layer in table})
    for source in sorted(path for top in tops for path in (root / top).rglob("*")):
        if source.suffix not in (".h", ".cpp"):
            continue
        rel = source.relative_to(root).as_posix()
        layer = layer_of(rel, table)
        for line_no, line in enumerate(source.read_text().splitlines(), start=1):
            match = INCLUDE.match(line)
            if match and layer_of(match.group(1), table) not in table[layer]:
                found.append(f'{rel}:{line_no}: {layer} may not include "{match.group(1)}"')
    return found


def main(argv: list[str]) -> int:
    root = pathlib.Path(argv[1] if len(argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    found = violations(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
