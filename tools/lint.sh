#!/usr/bin/env bash
# Static analysis of the project's own sources: the include graph (no circle, no upward include),
# clang-tidy (checks in .clang-tidy) and cppcheck over the compile commands of a host build. Any
# finding fails the run.
#   tools/lint.sh [build-dir] [jobs]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-lint}
jobs=${2:-$(nproc)}

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# The system's own code; tests are checked by the compiler and the sanitizers instead.
mapfile -t files < <(cd "$src" && git ls-files -- 'boot/*.cpp' 'board/*.cpp' 'image/*.cpp' \
  'flash/*.cpp' 'security/*.cpp' 'rescue/*.cpp' 'crypto/*.cpp' 'platform/*.cpp' 'sim/*.cpp' \
  'tools/*.cpp' 'fuzz/*.cpp' | sed "s|^|$src/|")
# Only files the build knows (a file just added by someone else may not be configured yet).
mapfile -t files < <(for f in "${files[@]}"; do grep -qF "\"file\": \"$f\"" "$build/compile_commands.json" && echo "$f"; done)
echo "lint: ${#files[@]} source files"
[ ${#files[@]} -gt 0 ] || exit 0

status=0
echo "== include graph"
/usr/bin/python3 "$src/tools/include-graph.py" || status=1

header_filter="^$src/(boot|board|image|flash|security|rescue|crypto|platform|sim|tools|fuzz)/"
echo "== clang-tidy"
printf '%s\n' "${files[@]}" |
  xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet --header-filter="$header_filter" \
    >"$build/clang-tidy.log" 2>&1 || status=1
grep -E 'error:' "$build/clang-tidy.log" | sort -u || true
advisory=$(grep -E 'warning:.*\[clang-analyzer-' "$build/clang-tidy.log" | sort -u || true)
if [ -n "$advisory" ]; then
  echo "-- advisory (path-sensitive analyzer; review, does not fail):"
  echo "$advisory"
fi

echo "== cppcheck"
cppcheck --quiet --error-exitcode=1 --inline-suppr --std=c++20 --language=c++ \
  --enable=warning,performance,portability --suppress=missingIncludeSystem \
  --suppress=unmatchedSuppression -I "$src" -j "$jobs" "${files[@]}" || status=1

if [ $status -eq 0 ]; then echo "lint: clean"; else echo "lint: findings above" >&2; fi
exit $status
