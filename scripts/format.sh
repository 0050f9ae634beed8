#!/bin/sh
# Formats every C and C++ file of the checkout with clang-format and the
# project's .clang-format. With --check it changes nothing and fails,
# listing the files, when any file differs from its formatted form.
set -eu
cd "$(dirname "$0")/.."
files=$(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  bad=""
  for f in $files; do
    clang-format --style=file "$f" | cmp -s "$f" - || bad="$bad $f"
  done
  if [ -n "$bad" ]; then
    echo "format: these files differ from clang-format's output (run sh scripts/format.sh):" >&2
    printf '  %s\n' $bad >&2
    exit 1
  fi
  echo "format: every C and C++ file is formatted"
else
  # shellcheck disable=SC2086
  clang-format --style=file -i $files
fi
