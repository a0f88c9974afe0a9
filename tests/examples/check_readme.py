#!/usr/bin/env python3
"""check_readme.py README EXAMPLES_DIR: every file in EXAMPLES_DIR is shown in README
whole, as the first fenced block after the line that names it (`docs/examples/NAME`), so
that what a reader pastes is what the example tests run."""
import pathlib, sys

readme, examples = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
lines = readme.read_text().splitlines(keepends=True)
failures = []
for example in sorted(examples.iterdir()):
    named = [i for i, line in enumerate(lines) if f"`docs/examples/{example.name}`" in line]
    if not named:
        failures.append(f"{example.name}: not named in {readme.name}")
        continue
    opening = next((i for i in range(named[0], len(lines)) if lines[i].startswith("```")), None)
    closing = next((i for i in range(opening + 1, len(lines)) if lines[i].startswith("```")), None) if opening is not None else None
    if closing is None:
        failures.append(f"{example.name}: no fenced block after line {named[0] + 1}")
        continue
    shown = "".join(lines[opening + 1:closing])
    if shown != example.read_text():
        failures.append(f"{example.name}: the block at line {opening + 1} differs from the file")
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
