#!/bin/sh
# Runs the benchmark programs of a build and prints one table -- figure, size, ours, floor, ratio,
# target, met -- and writes it as CSV to BUILD_DIR/bench/results.csv.
#   crypto_bench   our CRC-32 and cryptography against zlib and OpenSSL. Run twice: as is and with
#                  the CPU's SHA, AES and vector extensions masked from OpenSSL (the fair peer for
#                  a PowerPC without crypto instructions); the floor is the peer a target names.
#   boot_bench     the boot path on the simulated board against reading the image once, crc32 and
#                  writing the payload once as the archive the boot hands to the unpacking.
#   install_bench  installing a signed 10 MiB package against the same checks with zlib and
#                  masked OpenSSL + moving the bytes once (it masks OpenSSL itself); the package
#                  walk over 8 MiB of zeros and one byte, against one read of the package.
# Usage: tools/run-bench.sh BUILD_DIR   (benchmarks named <figure>/<size>[/<ours|peer>])
set -eu
build=${1:-build-bench}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# CPUID.1 ECX: AES-NI, PCLMULQDQ, SSSE3, AVX (and the OS-enabled bit); CPUID.7 EBX: AVX2, BMI1/2,
# ADX, AVX-512F, SHA.
masked='~0x1A00020200000000:~0x20090128'
found=0
for prog in "$build"/bin/*_bench; do
  [ -x "$prog" ] || continue
  found=1
  name=$(basename "$prog")
  echo "run-bench: $name" >&2
  "$prog" --benchmark_format=json --benchmark_min_time=0.5 >"$out/$name.default.json"
  if [ "$name" = crypto_bench ]; then
    OPENSSL_ia32cap=$masked "$prog" --benchmark_format=json --benchmark_min_time=0.5 \
      --benchmark_filter=/peer >"$out/$name.masked.json"
  fi
done
[ "$found" = 1 ] || { echo "run-bench: no benchmark programs in $build/bin" >&2; exit 1; }
mkdir -p "$build/bench"
/usr/bin/python3 - "$out" "$build/bench/results.csv" <<'PY'
import csv, glob, json, os, platform, sys
out, csv_path = sys.argv[1], sys.argv[2]
rows = []  # figure, size, ours, floor, ratio, target, met, unit

def add(figure, size, ours, floor=None, limit=None, unit="s", exact=False):
    ratio = ours / floor if floor else None
    if limit is None:
        target, met = "-", "-"
    elif exact:
        target, met = "=%g" % limit, ("yes" if ours == limit else "NO")
    else:
        target = "<=%.2fx" % limit
        met = "-" if ratio is None else ("yes" if ratio <= limit else "NO")
    rows.append((figure, size, ours, floor, ratio, target, met, unit))

runs = {}
for path in sorted(glob.glob(os.path.join(out, "*.json"))):
    prog, kind = os.path.basename(path).rsplit(".", 2)[:2]
    for b in json.load(open(path))["benchmarks"]:
        if b.get("error_occurred"):
            print("run-bench: %s: %s" % (b["name"], b.get("error_message")), file=sys.stderr)
            continue
        runs.setdefault(prog, {}).setdefault(kind, []).append(b)

# Cryptography: our time against the peer the target names (masked unless marked (d)).
crypto_targets = {"crc32": ("default", 1.0), "sha256": ("masked", 1 / 0.9),
                  "image_check": ("masked", 1.1), "rsa2048_verify": ("masked", 30.0),
                  "aes128_cbc_decrypt": ("masked", 1 / 0.8)}
times = {}
for kind, benches in runs.get("crypto_bench", {}).items():
    for b in benches:
        op, size, who = b["name"].split("/")[:3]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[b["time_unit"]]
        times[(op, size, who if who == "ours" else kind)] = b["cpu_time"] * scale
for (op, size, who) in sorted(k for k in times if k[2] == "ours"):
    basis, limit = crypto_targets.get(op, ("masked", None))
    floor = times.get((op, size, basis))
    add("%s vs %s" % (op, "default peer" if basis == "default" else "masked peer"), size,
        times[(op, size, "ours")], floor, limit)
    if basis == "masked" and (op, size, "default") in times:
        add("%s vs default peer" % op, size, times[(op, size, "ours")],
            times[(op, size, "default")])

def by_name(prog):
    # <figure>/<size>, without the argument and run options Google Benchmark appends.
    return {"/".join(b["name"].split("/")[:2]): b for b in runs.get(prog, {}).get("default", [])}

boot = by_name("boot_bench")
per_mib = {}
for name, b in boot.items():
    fig, size = name.split("/")[:2]
    if fig != "boot":
        continue
    mib = b["bytes"] / (1 << 20)
    add("boot: our share (header, read, CRC, archive)", size, b["ours"], b["floor"], 1.2)
    add("  flash read (buffer pages + copy)", size, b["flash_read"])
    add("  CRC-32 and the rest", size, b["ours"] - b["flash_read"] - b["archive_write"])
    add("  archive write", size, b["archive_write"], b["floor"] - b["floor_check"])
    add("boot: per MiB of image", size, b["ours"] / mib, b["floor"] / mib)
    add("boot: start-up to slot check", size, b["startup"])
    add("boot: own code, power-up to exec", size, b["own_total"])
    add("boot: external unpacking (wall)", size, b["unpack_wall"])
    add("boot: total power-up to exec (wall)", size, b["total_wall"])
    per_mib[size] = b["ours"] / b["floor"]
# Growth: the floor's own time per MiB is not flat on a host (caches, the 1 MiB image's fixed
# costs), so linearity is judged as our time per MiB against the floor's: the spread of the ratio.
if per_mib:
    add("boot: linearity (spread of ours/floor)", "all", max(per_mib.values()),
        min(per_mib.values()), 1.25, "x")
if "boot_fallback/10MiB" in boot:
    b = boot["boot_fallback/10MiB"]
    add("fall-back boot (both slots read and checked)", "10MiB", b["ours"], b["floor"], 1.2)
for name, b in boot.items():
    if name.startswith("boot_memory/"):
        size = name.split("/")[1]
        add("boot: peak memory vs image+block+1MiB", size, b["ours"], b["floor"], 1.0, "B")
        add("  heap high-water mark", size, b["heap"], unit="B")
        add("  anonymous resident set", size, b["anon_rss"], unit="B")

inst = by_name("install_bench")
if "install/10MiB" in inst:
    b = inst["install/10MiB"]
    add("install: checks + flash writes", "10MiB", b["ours"], b["floor"], 1.3)
    add("  checks (read, CRC, signature)", "10MiB", b["checks"])
    add("  flash (erase, write, read back)", "10MiB", b["flash"])
    add("  erases in slot 1 = blocks touched", "10MiB", b["erases"], b["blocks_touched"],
        b["blocks_touched"], "n", True)
    add("  most erases of one block", "10MiB", b["max_erases_block"], None, 1, "n", True)
    add("  1 KiB writes in slot 1", "10MiB", b["writes"], None, None, "n")
    add("  reads in slot 1 (block reads, read-back)", "10MiB", b["reads"], None, None, "n")
    add("  erases/writes outside slot 1", "10MiB", b["outside"], None, 0, "n", True)
for name, b in inst.items():
    if name.startswith("install_memory/"):
        size = name.split("/")[1]
        add("install: peak memory vs image+block+1MiB", size, b["ours"], b["floor"], 1.0, "B")
        add("  heap high-water mark", size, b["heap"], unit="B")
        add("  anonymous resident set", size, b["anon_rss"], unit="B")

# A package built to make a walk quadratic: linear means a small multiple of one read of it.
if "package_walk/8MiB+1" in inst:
    b = inst["package_walk/8MiB+1"]
    add("package walk, board installer (wall)", "8MiB+1", b["ours"], b["floor"], 25.0)
    add("package walk, bootimg inspect (wall)", "8MiB+1", b["bootimg"], b["floor"], 25.0)

def fmt(v, unit):
    if v is None:
        return "-"
    if unit == "n":
        return "%d" % v
    if unit == "x":
        return "%.2fx" % v
    if unit == "B":
        return "%.2f MiB" % (v / (1 << 20))
    return "%.3f ms" % (v * 1e3) if v >= 1e-3 else "%.2f us" % (v * 1e6)

try:
    cpu = next(l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name"))
except (OSError, StopIteration):
    cpu = platform.processor() or "?"
print("machine: %s, %d CPUs, %s, load average %s" % (cpu, os.cpu_count() or 0, platform.platform(),
      " ".join(open("/proc/loadavg").read().split()[:3])))
line = "%-44s %-6s %11s %11s %7s %8s %4s"
print(line % ("figure", "size", "ours", "floor", "ratio", "target", "met"))
for (fig, size, ours, floor, ratio, target, met, unit) in rows:
    print(line % (fig, size, fmt(ours, unit), fmt(floor, unit),
                  "%.2fx" % ratio if ratio else "-", target, met))
print("ratio = ours / floor (lower is better). Times are CPU time of the measuring thread, except"
      " (wall); crypto floors: the OpenSSL/zlib peer as the target names it.")
with open(csv_path, "w", newline="") as f:
    w = csv.writer(f)
    w.writerow(["figure", "size", "ours", "floor", "ratio", "target", "met", "unit"])
    for (fig, size, ours, floor, ratio, target, met, unit) in rows:
        w.writerow([fig.strip(), size, "%.9g" % ours, "" if floor is None else "%.9g" % floor,
                    "" if ratio is None else "%.4f" % ratio, target, met, unit])
print("CSV: %s" % csv_path)
PY
