#!/bin/sh
# Fails, naming the files, when a tracked C or C++ source differs from its clang-format
# layout. With --fix it rewrites them instead.
set -eu
cd "$(dirname "$0")/.."

files=$(git ls-files '*.c' '*.h' '*.cpp' '*.hpp' 2>/dev/null) ||
  files=$(find . -path ./build -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name '*.cpp' \
    -o -name '*.hpp' \) -print)
if [ "${1:-}" = "--fix" ]; then
  # shellcheck disable=SC2086
  clang-format -i $files
  exit 0
fi
bad=""
for f in $files; do
  if ! clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
    bad="$bad $f"
  fi
done
if [ -n "$bad" ]; then
  echo "check-format: not laid out by clang-format (run scripts/check-format.sh --fix):" >&2
  for f in $bad; do echo "  $f" >&2; done
  exit 1
fi
