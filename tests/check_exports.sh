#!/usr/bin/env bash
# Compares the shared library's defined dynamic symbols (demangled) with the
# designed export list; any stray or missing export fails.
#   check_exports.sh LIBRARY EXPECTED_LIST
set -euo pipefail
lib=$1 expected=$2
actual=$(nm -D --defined-only -C "$lib" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //' | sort -u)
wanted=$(grep -vE '^\s*(#|$)' "$expected" | sort -u)
if ! diff <(echo "$wanted") <(echo "$actual") > /tmp/check_exports.$$; then
  echo "export list differs from $expected ('<' designed but missing, '>' exported but not designed):"
  cat /tmp/check_exports.$$
  rm -f /tmp/check_exports.$$
  exit 1
fi
rm -f /tmp/check_exports.$$
echo "exports match: $(echo "$actual" | wc -l) exported symbols match the designed list"
