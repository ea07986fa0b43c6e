"""Checks a repaired wheel's metadata and contents: Metadata 2.4 or newer with the licence expression,
the stub-only package, and a licence file for every library the repair bundled.

    python scripts/check_wheel.py WHEEL
"""

import re
import sys
import zipfile

# Each library the repair may bundle, and the licence files (under licenses/) that cover it.
LICENCES = {
    "libopenblas": {"OpenBLAS.txt", "LAPACK.txt"},
    "libgfortran": {"GCC-runtime.txt", "GPL-3.0.txt"},
    "libquadmath": {"GCC-runtime.txt", "LGPL-2.1.txt"},
}


def bundled_libraries(names):
    return [name.split("/", 1)[1] for name in names if name.startswith("tarvik.libs/") and not name.endswith("/")]


def problems(names, metadata):
    shipped = {name.rsplit("/", 1)[1] for name in names if ".dist-info/licenses/" in name}
    bundled = bundled_libraries(names)
    version = next(line for line in metadata if line.startswith("Metadata-Version: ")).split()[1]
    if tuple(map(int, version.split("."))) < (2, 4):
        yield f"Metadata-Version {version}, not 2.4 or newer"
    if "License-Expression: MIT" not in metadata:
        yield "no License-Expression: MIT"
    if "tarvik-stubs/__init__.pyi" not in names:
        yield "no stub-only package"
    if "LICENSE" not in shipped:
        yield "no LICENSE"
    if not bundled:
        yield "the repair bundled no library"
    for library in bundled:
        covering = [files for prefix, files in LICENCES.items() if re.match(prefix, library)]
        if not covering:
            yield f"{library} is bundled but has no licence entry"
        elif covering[0] - shipped:
            yield f"{library} needs {', '.join(sorted(covering[0] - shipped))}"


def main():
    with zipfile.ZipFile(sys.argv[1]) as wheel:
        names = wheel.namelist()
        metadata = wheel.read(next(n for n in names if n.endswith(".dist-info/METADATA"))).decode().splitlines()
    print("bundled:", ", ".join(bundled_libraries(names)))
    found = list(problems(names, metadata))
    if found:
        sys.exit(f"{sys.argv[1]}: " + "; ".join(found))


if __name__ == "__main__":
    main()
