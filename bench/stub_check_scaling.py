#!/usr/bin/env python3
"""Scaling of the package checker's readers: each hostile shape at 1x, 4x and
16x its size, run through `stub-check check` (the Linux build), its time and
peak resident memory taken with GNU time. A reader linear in its input takes
about 4 times the time and memory per 4x of size; a quadratic one 16 times.

    bench/stub_check_scaling.py CHECKER [SCALE...]
    bench/stub_check_scaling.py --markdown RESULTS   (the table docs/performance.md shows)

STUB_SCALING_SHAPES=a,b runs only those shapes; STUB_SCALING_ROUNDS=N (default 3)
sets the rounds. On a busy machine one step can come out above 4x by itself:
run that shape again alone before reading it as growth.

Prints "name value" lines: for each shape and size its input bytes, the
milliseconds (median of the rounds), the KiB of peak resident memory and the
bytes of the report; then per shape the slope, the ratio of time and of memory
from one size to the next (the larger of the two steps), and the memory per
input byte at 16x less that of the sample package.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "Aurora")
ROUNDS = int(os.environ.get("STUB_SCALING_ROUNDS", "3"))

STYLE = "{049E8873-D5B5-4B2A-853D-BB5599647387}"


def manifest(head_attributes="", identity_attributes="", files_inner="", comclasses=""):
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n'
            f'<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0"{head_attributes}>\n'
            f'<assemblyIdentity type="win32" name="Aurora.Assembly" version="1.0.0.0"{identity_attributes}/>\n'
            f'<file name="Aurora.dll">\n{comclasses}{files_inner}</file>\n</assembly>\n')


def manifest_attributes(n):
    # n attributes on one element.
    return manifest(identity_attributes="".join(f' a{i}="{i}"' for i in range(n)))


def manifest_elements(n):
    # n comClass elements, every one a class the package does not have.
    return manifest(comclasses="".join(
        f'<comClass clsid="{{C0DE{i % 65536:04X}-1111-4A00-8000-{i:012X}}}"/>'
        for i in range(n)))


def manifest_namespaces(n):
    # n namespace declarations on the root, and n/10 elements inside it that use them.
    return manifest(head_attributes="".join(f' xmlns:p{i}="urn:x-{i}"' for i in range(n)),
                    files_inner="".join(f"<p{i * 10}:e/>\n" for i in range(n // 10)))


def registry_header():
    return "Windows Registry Editor Version 5.00\r\n\r\n"


def registry_nesting(n):
    # One key nested n deep.
    return registry_header() + "[HKEY_CLASSES_ROOT\\" + "\\".join(["a"] * n) + "]\r\n@=\"deep\"\r\n"


def registry_deep_keys(n):
    # n keys 511 levels deep, each on a branch of its own: every line makes 511 keys.
    return registry_header() + "".join(
        f"[HKEY_CLASSES_ROOT\\b{i}\\" + "\\".join(["a"] * 510) + "]\r\n" for i in range(n))


def registry_values(n):
    # n values in one key.
    return (registry_header() + "[HKEY_CLASSES_ROOT\\Many]\r\n" +
            "".join(f'"Value{i}"="text {i}"\r\n' for i in range(n)))


def script_head(prog, clsid):
    return (f"HKCR\n{{\n\t{prog} = s 'Scaling'\n\t{{\n\t\tCLSID = s '{clsid}'\n\t}}\n"
            f"\tNoRemove CLSID\n\t{{\n\t\tForceRemove {clsid} = s 'Scaling'\n\t\t{{\n"
            f"\t\t\tInprocServer32 = s '%Module%'\n\t\t\t{{\n\t\t\t\tval ThreadingModel = s 'Both'\n"
            f"\t\t\t}}\n\t\t}}\n\t}}\n")


STYLE_HEAD = ("Scaling.Style.1", "{C0DEBEEF-7777-4A00-8000-000000000007}")
TEXT_HEAD = ("Scaling.StyleText.1", "{C0DEBEEF-8888-4A00-8000-000000000008}")


def script_values(n):
    # n val entries in one key.
    return (script_head(*STYLE_HEAD) + "\tNoRemove Scaling\n\t{\n" +
            "".join(f"\t\tval V{i} = s 'value {i}'\n" for i in range(n)) + "\t}\n}\n")


def script_chains(n):
    # n chains of 126 keys nested in one another, each name 246 characters.
    out = [script_head(*STYLE_HEAD), "\tNoRemove Scaling\n\t{\n"]
    for c in range(n):
        for d in range(126):
            out.append(f"K{c:05d}{d:03d}" + "x" * 237 + "\n{\n")
        out.append("}\n" * 126)
    out.append("\t}\n}\n")
    return "".join(out)


def script_keys(size):
    # Bare keys, densely written, to `size` bytes.
    head = script_head(*STYLE_HEAD) + "\tNoRemove Scaling\n\t{\n"
    body, i, length = [], 0, len(head) + 6
    while length < size:
        key = f"k{i} "
        body.append(key)
        length += len(key)
        i += 1
    return head + "".join(body) + "\n\t}\n}\n"


def text_script():
    return script_head(*TEXT_HEAD) + "}\n"


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)


def measure(checker, args, work):
    """Median milliseconds and KiB of peak memory of ROUNDS runs, and the report's bytes."""
    times, kibs, size = [], [], 0
    for _ in range(ROUNDS):
        report = os.path.join(work, "report.txt")
        started = time.monotonic()
        with open(report, "wb") as out:
            rc = subprocess.call(["/usr/bin/time", "-f", "%M", "-o", os.path.join(work, "time.txt"),
                                  checker] + args, stdout=out, stderr=subprocess.STDOUT)
        times.append((time.monotonic() - started) * 1000)
        with open(os.path.join(work, "time.txt")) as f:
            kibs.append(int(f.read().split()[-1]))
        size = os.path.getsize(report)
        if rc > 2:
            sys.exit(f"stub_check_scaling: {' '.join(args)}: exit {rc}")
    return sorted(times)[ROUNDS // 2], sorted(kibs)[ROUNDS // 2], size


def case(shape, scale, work):
    """Lays out one shape at one scale; returns (checker arguments, input bytes)."""
    folder = os.path.join(work, f"{shape}-{scale}")
    shutil.rmtree(folder, ignore_errors=True)
    package = os.path.join(folder, "Aurora")
    if shape.startswith("manifest_"):
        shutil.copytree(SAMPLE, package)
        build = {"manifest_attributes": lambda: manifest_attributes(12500 * scale),
                 "manifest_elements": lambda: manifest_elements(8000 * scale),
                 "manifest_namespaces": lambda: manifest_namespaces(6250 * scale)}[shape]
        path = os.path.join(folder, "Aurora.Assembly.manifest")
        write(path, build())
        return ["--manifest", path, package], os.path.getsize(path)
    if shape.startswith("registry_"):
        os.makedirs(folder)
        build = {"registry_nesting": lambda: registry_nesting(6250 * scale),
                 "registry_deep_keys": lambda: registry_deep_keys(25 * scale),
                 "registry_values": lambda: registry_values(18750 * scale)}[shape]
        path = os.path.join(folder, "machine.reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + build().encode("utf-16-le"))
        return ["--registry", path, SAMPLE], os.path.getsize(path)
    os.makedirs(package)
    style = {"script_values": lambda: script_values(10000 * scale),
             "script_chains": lambda: script_chains(4 * scale),
             "script_keys": lambda: script_keys(512 * 1024 * scale - 64),
             "script_keys_json": lambda: script_keys(512 * 1024 * scale - 64)}[shape]()
    write(os.path.join(package, "Style.rgs"), style)
    if shape == "script_keys_json":
        # Both scripts dense, the report as JSON.
        text = style.replace(STYLE_HEAD[0], TEXT_HEAD[0]).replace(STYLE_HEAD[1], TEXT_HEAD[1])
        write(os.path.join(package, "StyleText.rgs"), text)
        return ["--format", "json", package], 2 * len(style)
    write(os.path.join(package, "StyleText.rgs"), text_script())
    return [package], len(style)


SHAPES = ["manifest_attributes", "manifest_elements", "manifest_namespaces", "registry_nesting",
          "registry_deep_keys", "registry_values", "script_values", "script_chains", "script_keys", "script_keys_json"]


WHAT = {
    "manifest_attributes": ("`check --manifest`", "attributes on one element", 12500),
    "manifest_elements": ("`check --manifest`", "`comClass` elements, none the package's", 8000),
    "manifest_namespaces": ("`check --manifest`", "namespace declarations, and a tenth as many elements using them", 6250),
    "registry_nesting": ("`--registry`", "levels of one key's path (refused past 512, as the registry holds no deeper)", 6250),
    "registry_deep_keys": ("`--registry`", "keys 511 levels deep, each on its own branch", 25),
    "registry_values": ("`--registry`", "values in one key", 18750),
    "script_values": ("check", "`val` entries in one key", 10000),
    "script_chains": ("check", "chains of 126 keys nested in one another, each name 246 characters", 4),
    "script_keys": ("check", "bytes of bare keys, densely written", 512 * 1024),
    "script_keys_json": ("check `--format json`", "bytes of bare keys in each of both scripts", 512 * 1024),
}


def markdown(results):
    """The scaling table from a run's "name value" lines."""
    v = dict(line.split() for line in open(results) if line.strip())
    print("| Reader | Shape (count at 1×) | 1× | 4× | 16× | Time per 4× | Memory per 4× | "
          "Peak memory per input byte at 16× |")
    print("|---|---|---|---|---|---|---|---|")
    cell = lambda shape, x: (f"{float(v[f'scaling_{shape}_{x}x_ms']) / 1000:.2f} s, "
                             f"{int(v[f'scaling_{shape}_{x}x_kib']) / 1024:,.0f} MiB "
                             f"({int(v[f'scaling_{shape}_{x}x_bytes']) / 2**20:.2f} MiB in)")
    for shape, (reader, what, count) in WHAT.items():
        if f"scaling_{shape}_time_slope" not in v:
            continue
        print(f"| {reader} | {count:,} {what} | {cell(shape, 1)} | {cell(shape, 4)} | {cell(shape, 16)} | "
              f"{float(v[f'scaling_{shape}_time_slope']):.1f}× | {float(v[f'scaling_{shape}_memory_slope']):.1f}× | "
              f"{float(v[f'scaling_{shape}_bytes_per_byte']):,.0f} |")


def main():
    if sys.argv[1] == "--markdown":
        markdown(sys.argv[2])
        return
    checker = sys.argv[1]
    scales = [int(s) for s in sys.argv[2:]] or [1, 4, 16]
    shapes = [s for s in SHAPES if not os.environ.get("STUB_SCALING_SHAPES") or
              s in os.environ["STUB_SCALING_SHAPES"].split(",")]
    work = tempfile.mkdtemp()
    try:
        _, base_kib, _ = measure(checker, [SAMPLE], work)
        print(f"scaling_sample_kib {base_kib}", flush=True)
        for shape in shapes:
            rows = []
            for scale in scales:
                args, size = case(shape, scale, work)
                ms, kib, report = measure(checker, args, work)
                shutil.rmtree(os.path.join(work, f"{shape}-{scale}"))
                rows.append((size, ms, kib))
                print(f"scaling_{shape}_{scale}x_bytes {size}")
                print(f"scaling_{shape}_{scale}x_ms {ms:.0f}")
                print(f"scaling_{shape}_{scale}x_kib {kib}")
                print(f"scaling_{shape}_{scale}x_report_bytes {report}", flush=True)
            if len(rows) > 1:
                # The larger of the steps; a floor of 20 ms and of the base memory
                # keeps start-up from passing for growth.
                time_slope = max(max(b[1], 20) / max(a[1], 20) for a, b in zip(rows, rows[1:]))
                memory_slope = max((b[2] - base_kib + 1024) / (a[2] - base_kib + 1024)
                                   for a, b in zip(rows, rows[1:]))
                size, _, kib = rows[-1]
                print(f"scaling_{shape}_time_slope {time_slope:.1f}")
                print(f"scaling_{shape}_memory_slope {memory_slope:.1f}")
                print(f"scaling_{shape}_bytes_per_byte {max(kib - base_kib, 0) * 1024 / size:.1f}", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
