#!/usr/bin/python3
"""Checks the include graph of the product code: no circle between units and no folder including
a folder above it.

A unit is a header/source pair (crypto/rsa.h + crypto/rsa.cpp); a unit depends on every unit whose
header either of its files includes. The folders' layers, top to bottom:

    tools, sim  >  rescue  >  boot  >  security  >  image  >  flash, board  >  crypto  >  platform

A unit may include units of its own layer or below. The upward includes the design has not yet
shed are listed in ALLOWED with their reason; the list only shrinks.

Usage: tools/include-graph.py [--dot]   (--dot prints the unit graph for Graphviz)
Exit status: 0 clean, 1 a circle or an upward include not in ALLOWED.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LAYERS = [["tools", "sim"], ["rescue"], ["boot"], ["security"], ["image"], ["flash", "board"],
          ["crypto"], ["platform"]]
RANK = {folder: i for i, layer in enumerate(LAYERS) for folder in layer}

# (including unit, included unit): why the upward include is there for now.
ALLOWED = {
    ("boot/boot_sequence", "rescue/rescue_menu"):
        "the boot sequence enters the rescue menu when the operator asks for it",
    ("boot/boot_sequence", "rescue/net_config"):
        "the boot sequence brings the network up for a gdbserver boot",
    ("security/lowsec", "boot/boot_settings"):
        "low security mode records its authorisation in the process-wide boot settings",
    ("security/lowsec", "boot/console"): "the physical presence test asks at the console",
    ("security/signature_policy", "boot/console"):
        "an unsigned image is accepted only after the operator confirms at the console",
    ("image/install", "boot/launch"): "an installed application is started like a booted one",
    ("image/install", "security/signature_policy"):
        "the installer asks the signature policy before writing",
    ("image/install", "boot/boot_settings"):
        "the installer stops at the operator's break, recorded in the boot settings",
}


def unit_of(path: Path) -> str:
    rel = path.relative_to(ROOT)
    return str(rel.with_suffix(""))


def product_files():
    for folder in RANK:
        base = ROOT / folder
        if base.is_dir():
            yield from sorted(p for p in base.rglob("*") if p.suffix in (".h", ".cpp"))


def graph():
    edges = {}
    for f in product_files():
        u = unit_of(f)
        edges.setdefault(u, set())
        for m in re.finditer(r'^\s*#\s*include\s+"([^"]+)"', f.read_text(), re.M):
            target = ROOT / m.group(1)
            if not target.exists():
                target = f.parent / m.group(1)
            if not target.exists() or ROOT not in target.resolve().parents:
                continue
            v = unit_of(target.resolve())
            if v != u and v.split("/")[0] in RANK:
                edges[u].add(v)
    return edges


def circles(edges):
    """Strongly connected components with more than one unit (Tarjan)."""
    index, low, stack, on, out, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(edges.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                out.append(sorted(comp))

    sys.setrecursionlimit(10000)
    for v in sorted(edges):
        if v not in index:
            visit(v)
    return out


def main():
    edges = graph()
    if "--dot" in sys.argv[1:]:
        print("digraph units {")
        for u in sorted(edges):
            for v in sorted(edges[u]):
                print(f'  "{u}" -> "{v}";')
        print("}")
        return 0
    failed = False
    for comp in circles(edges):
        failed = True
        print("include circle: " + " <-> ".join(comp))
        for u in comp:
            for v in sorted(edges[u] & set(comp)):
                print(f"    {u} includes {v}")
    upward = set()
    for u, vs in sorted(edges.items()):
        for v in sorted(vs):
            if RANK[v.split("/")[0]] < RANK[u.split("/")[0]]:
                upward.add((u, v))
                if (u, v) not in ALLOWED:
                    failed = True
                    print(f"upward include: {u} includes {v} "
                          f"({u.split('/')[0]}/ is below {v.split('/')[0]}/)")
    for stale in sorted(set(ALLOWED) - upward):
        print(f"note: ALLOWED names an include that is not there (drop it once no branch needs "
              f"it): {stale[0]} -> {stale[1]}")
    units = len(edges)
    deps = sum(len(v) for v in edges.values())
    if failed:
        print(f"include-graph: {units} units, {deps} includes: FAILED")
        return 1
    print(f"include-graph: {units} units, {deps} includes, no circle, "
          f"{len(upward)} known upward includes (tools/include-graph.py ALLOWED)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
