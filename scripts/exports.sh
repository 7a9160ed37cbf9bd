#!/usr/bin/env bash
# What a shared library exports, one "<type> <demangled name>" a line, sorted, each once:
#   scripts/exports.sh LIBRARY
# The library's test compares this with tests/library/exports.txt; after a deliberate change to
# the interface, `make exports` writes that list again. Addresses are left out, and so are unique
# ("u") symbols: a static constexpr member is one only where a build odr-uses it (Debug builds
# do, optimised ones do not), so it says nothing about the interface.
set -euo pipefail
if [ $# -ne 1 ]; then
    echo "usage: $0 LIBRARY" >&2
    exit 2
fi
symbols=$(nm -DC --defined-only "$1")
sed -E -n 's/^[0-9a-fA-F]+ ([A-Za-tv-z] .*)$/\1/p' <<<"$symbols" | LC_ALL=C sort -u
