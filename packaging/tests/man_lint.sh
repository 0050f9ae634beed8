#!/bin/sh
# man_lint.sh MANDIR: every page in MANDIR passes "mandoc -T lint" (or, without
# mandoc, "groff -ww -z") without a warning, and "man -l" renders it with its
# NAME, SYNOPSIS and EXIT STATUS sections.
set -u
dir=$1
status=0
pages=$(ls "$dir"/*.[1-8])
[ -n "$pages" ] || { echo "no man pages in $dir"; exit 1; }
for page in $pages; do
  if command -v mandoc >/dev/null 2>&1; then
    # style messages are advice on wording; warnings and worse fail
    out=$(mandoc -T lint -W warning "$page" 2>&1)
  elif command -v groff >/dev/null 2>&1; then
    out=$(groff -man -ww -z "$page" 2>&1)
  else
    echo "neither mandoc nor groff is installed"; exit 77
  fi
  if [ -n "$out" ]; then
    echo "$page:"; echo "$out"; status=1
  fi
  if command -v man >/dev/null 2>&1; then
    text=$(MANWIDTH=80 man -l "$page" 2>&1)
    for heading in NAME SYNOPSIS DESCRIPTION FILES "EXIT STATUS" DIAGNOSTICS EXAMPLES; do
      case "$page" in *.5) [ "$heading" = "EXIT STATUS" ] || [ "$heading" = DIAGNOSTICS ] && continue ;; esac
      printf '%s\n' "$text" | grep -q "^$heading\$" || { echo "$page: man -l shows no $heading section"; status=1; }
    done
  fi
done
exit $status
