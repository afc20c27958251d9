#!/bin/sh
# Runs every benchmark program of a build twice -- once as is and once with the CPU's SHA, AES and
# vector extensions masked from OpenSSL -- and prints one table: our time against each peer.
# Usage: tools/run-bench.sh BUILD_DIR   (benchmarks named <operation>/<size>/<ours|peer>)
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
  "$prog" --benchmark_format=json --benchmark_min_time=0.5 >"$out/$name.default.json"
  OPENSSL_ia32cap=$masked "$prog" --benchmark_format=json --benchmark_min_time=0.5 \
    --benchmark_filter=/peer >"$out/$name.masked.json"
done
[ "$found" = 1 ] || { echo "run-bench: no benchmark programs in $build/bin" >&2; exit 1; }
/usr/bin/python3 - "$out" <<'PY'
import glob, json, os, sys
out = sys.argv[1]
# Targets: our time may be at most this multiple of the masked peer's time.
targets = {"crc32": ("default", 1.0), "sha256": ("masked", 1 / 0.9), "image_check": ("masked", 1.1),
           "rsa2048_verify": ("masked", 30.0), "aes128_cbc_decrypt": ("masked", 1 / 0.8)}
times = {}
for path in sorted(glob.glob(os.path.join(out, "*.json"))):
    kind = path.rsplit(".", 2)[-2]
    for b in json.load(open(path))["benchmarks"]:
        op, size, who = b["name"].split("/")[:3]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[b["time_unit"]]
        times[(op, size, who if who == "ours" else kind)] = b["real_time"] * scale
def fmt(t):
    return "-" if t is None else ("%.3f ms" % (t * 1e3) if t >= 1e-3 else "%.2f us" % (t * 1e6))
print("%-20s %-6s %11s %11s %11s %8s %8s %7s %4s" % ("operation", "size", "ours", "peer", "peer-masked",
      "ratio", "ratio-m", "target", "met"))
for (op, size, who) in sorted(k for k in times if k[2] == "ours"):
    ours = times[(op, size, "ours")]
    peer = times.get((op, size, "default"))
    masked = times.get((op, size, "masked"))
    basis, limit = targets.get(op, ("masked", None))
    ref = peer if basis == "default" else masked
    ratio = ours / peer if peer else None
    ratio_m = ours / masked if masked else None
    met = "-" if limit is None or ref is None else ("yes" if ours / ref <= limit else "NO")
    target = "-" if limit is None else "<=%.2fx" % limit
    print("%-20s %-6s %11s %11s %11s %8s %8s %7s %4s" % (op, size, fmt(ours), fmt(peer), fmt(masked),
          "%.2fx" % ratio if ratio else "-", "%.2fx" % ratio_m if ratio_m else "-",
          target + ("" if basis == "masked" else "(d)"), met))
print("ratio = our time / peer time (lower is better); target basis: masked peer, (d) default peer")
PY
