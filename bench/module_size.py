"""Bytes of the module's loaded sections by where they come from, read from the
linker map of an unstripped link: bench/module_size.py MAP > contributions.

Prints one "bytes<TAB>origin" line per contributor, largest first. Origins are
the module's own object files (by source name), the C runtime start-up and
helpers (by archive), and the import tables."""
import re
import sys
from collections import Counter

ALLOCATED = (".text", ".data", ".rdata", ".eh_frame", ".idata", ".CRT", ".tls", ".pdata", ".xdata")


def origin(path):
    product = re.search(r"libstub_core\.a\((\w+)\.cpp\.obj\)", path) or re.search(
        r"src/exports/(\w+)\.cpp\.obj", path)
    if product:
        return f"{product.group(1)}.cpp (module)"
    archive = re.search(r"(lib\w+\.a)\(", path)
    name = archive.group(1) if archive else path.rsplit("/", 1)[-1]
    if re.match(r"lib(kernel32|user32|advapi32|ole32|oleaut32|msvcrt)\.a", name):
        return "import tables and stubs (" + name + ")"
    return name + " (runtime)"


sizes = Counter()
in_map = False
pending = None  # an input section whose name stood alone on its line
for line in open(sys.argv[1], errors="replace"):
    if line.startswith("Linker script and memory map"):
        in_map = True
        continue
    if not in_map:
        continue
    match = re.match(r"^ (\.[\w$.]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
    if not match and pending:
        tail = re.match(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$", line)
        if tail:
            match = (pending,) + tail.groups()
    pending = None
    if match is None:
        alone = re.match(r"^ (\.[\w$.]+)\s*$", line)
        pending = alone.group(1) if alone else None
        continue
    section, address, size, path = match if isinstance(match, tuple) else match.groups()
    if int(address, 16) == 0 or not section.startswith(ALLOCATED):
        continue
    sizes[origin(path.strip())] += int(size, 16)

for name, size in sizes.most_common():
    print(f"{size}\t{name}")
