"""Runs every benchmark of the package: python benchmarks/run.py [name ...]

Each benchmarks/bench_*.py module defines main(); names select modules (e.g. "matcher").
"""

import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main(argv):
    wanted = set(argv)
    for path in sorted(HERE.glob("bench_*.py")):
        name = path.stem[len("bench_"):]
        if wanted and name not in wanted:
            continue
        found = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(found)
        sys.path.insert(0, str(HERE))
        found.loader.exec_module(module)
        print(f"== {name}", flush=True)
        module.main()


if __name__ == "__main__":
    main(sys.argv[1:])
