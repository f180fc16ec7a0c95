#!/usr/bin/env python3
"""The "Probing packages" section of docs/performance.md, from host_probing's figures.

    probing_section.py ARCH=FILE [ARCH=FILE...]

Each FILE is what bench/host_listing/run.sh --probing wrote for ARCH (x86 or
x64): "name value" lines, or beside it FILE.skipped with the reason it was not
run. bench/run.sh calls this for the section; run alone, it prints the same
text, to put in place of the section after a run of the probing benchmark only.
"""
import os
import sys

BITS = {"x86": "32-bit", "x64": "64-bit"}


def read(path):
    return {k: float(v) for k, v in (line.split() for line in open(path) if len(line.split()) == 2)}


def goal(ratio, limit):
    return f"≤ {limit} ({'met' if ratio <= limit else 'missed'})"


def section(figures, skipped):
    out = []
    say = out.append
    say("## Probing packages")
    say("")
    say("`TryPackage` of the host library tries each package in a probe process, `StubProbe.exe`,")
    say("and remembers the verdict per module file and engine (`bench/host_listing/host_probing.cpp`,")
    say("run by `bench/host_listing/run.sh ARCH OUT --probing`). The packages are installed as for the")
    say("listing above, the sample engine `StubSampleEngine.dll` is registered, so every probe really")
    say("creates both classes of its package through the engine, and `StubProbe.exe` lies beside the")
    say("program, where the library finds it by default.")
    say("")
    say("**Cold**: the memory of verdicts emptied (`ForgetVerdicts`), then `TryPackage` of every package,")
    say("several threads at a time (each in the multithreaded apartment, each trial its own probe), against")
    say("the floor of that work: as many `StubProbe.exe` processes started on the same threads exactly as")
    say("the library starts them (a report pipe and the NUL device inherited, suspended, put in a job")
    say("that kills on close, resumed, waited for), with a command line of the library's form that names")
    say("no class, which the probe refuses before it touches COM (it exits with its refusal code). Both")
    say("take turns, round by round. Each trial is to create both classes in a probe of its own (one")
    say("probe started per package, counted with `ProbesStarted`); one that does not is counted as")
    say("failed. Times are per package: the round's elapsed time over the packages; the ratio is the")
    say("median of the rounds' own ratios.")
    say("")
    say("| Architecture | Packages | Probes at a time | Trial per package | Floor per package | Ratio | "
        "Both creations inside the probe | Trials failed | Rounds |")
    say("|---|---|---|---|---|---|---|---|---|")
    for arch, m in figures.items():
        say(f"| {arch} | {m['packages']:,.0f} | {m['threads']:.0f} | {m['cold_per_package_ms']:.1f} ms | "
            f"{m['floor_per_package_ms']:.1f} ms | {m['cold_ratio']:.2f}× ({goal(m['cold_ratio'], 1.5)}) | "
            f"{m['probe_creation_ms']:.0f} ms | {m['cold_failed_trials']:.0f} | {m['rounds']:.0f} |")
    say("")
    say("**Warm**: a host's next start with every verdict in memory: `FindRegisteredPackages`, then")
    say("`TryPackage` of every package on the calling thread, each verdict taken from memory (every class")
    say("`working` and `remembered`), against `FindRegisteredPackages` alone and against the bare")
    say("category enumeration, the three taking turns. The goal is set against the listing alone; no")
    say("probe may start (`ProbesStarted` before and after every round).")
    say("")
    say("| Architecture | Packages | Listing and every verdict | Listing alone | Ratio | Bare enumeration | "
        "Ratio to it | Probes started | Rounds |")
    say("|---|---|---|---|---|---|---|---|---|")
    for arch, m in figures.items():
        say(f"| {arch} | {m['packages']:,.0f} | {m['warm_start_ms']:.0f} ms | {m['warm_listing_ms']:.0f} ms | "
            f"{m['warm_ratio_listing']:.2f}× ({goal(m['warm_ratio_listing'], 2)}) | "
            f"{m['warm_enumeration_ms']:.0f} ms | {m['warm_ratio_enumeration']:.2f}× | "
            f"{m['warm_probes']:.0f} | {m['warm_rounds']:.0f} |")
    say("")
    for arch, reason in skipped.items():
        say(f"Not measured: {arch} ({BITS.get(arch, arch)}), because {reason}.")
        say("")
    for arch, m in figures.items():
        extra = m["cold_per_package_ms"] - m["floor_per_package_ms"]
        warm = (m["warm_start_ms"] - m["warm_listing_ms"]) / m["packages"]
        say(f"Under {arch} Wine, starting and ending the probe process is {m['floor_per_package_ms']:.1f} ms "
            f"per package at {m['threads']:.0f} at a time; trying the package in it adds {extra:+.1f} ms "
            f"({(m['cold_ratio'] - 1) * 100:+.0f} % by the rounds' ratios). A trial from memory adds "
            f"{warm:.2f} ms per package to the listing.")
        say("")
    say("A cold trial costs what its probe's start costs, plus what the probe does once started: it")
    say("moves to a window station and desktop of its own, initialises COM, makes the host program's")
    say("activation context, loads the package module and the engine and creates and releases both")
    say("classes (the column \"both creations inside the probe\" is what the probe itself timed of the")
    say("two `CoCreateInstance` calls, the median per package), and reports; the host reads the report,")
    say("then identifies the module file and the engine and writes the verdict (one registry value).")
    say("The library creates one probe process at a time (the report pipe's end is inheritable only")
    say("while its own probe is created), and the probes then run side by side; the floor does the")
    say("same. A warm trial checks the package's files again,")
    say("identifies the module file and the engine (the engine's two class keys and files) and reads")
    say("one registry value; it starts nothing.")
    say("")
    say("Absolute Wine times on these machines swing severalfold between runs, so the listing's time")
    say("here need not match the section above; the ratios, each taken within one run with the")
    say("measurement and its baseline taking turns, are what carries over.")
    say("")
    return "\n".join(out)


def main(arguments):
    figures, skipped = {}, {}
    for argument in arguments:
        arch, _, path = argument.partition("=")
        if os.path.exists(path):
            figures[arch] = read(path)
        elif os.path.exists(path + ".skipped"):
            skipped[arch] = open(path + ".skipped").read().strip()
    if figures:
        print(section(figures, skipped), end="")


if __name__ == "__main__":
    main(sys.argv[1:])
