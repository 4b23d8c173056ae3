#!/usr/bin/env bash
# Fails when the shared library defines any test-only name: the test-support
# library (test doubles, the fake clock, the log capture, the scoped hook
# objects) must never be linked into what ships. Reads the full symbol
# table, local symbols included.
#   check_no_test_code.sh LIBRARY
set -euo pipefail
lib=$1
symbols=$(nm -C --defined-only "$lib")
if [ -z "$symbols" ]; then
  echo "$lib has no symbol table to check (stripped?)" >&2
  exit 1
fi
test_only='(^|[^A-Za-z0-9_])(testing::|local_directories::|MemoryDirectory|MemoryObject|LdapFilter|ScopedFakeClock|ScopedLogCapture|ScopedOperations|ScopedBackend|ScopedSrvResolver|ScopedCreateFailure|ScopedAllocationFailure|ScopedManagerLock|SlapdServer|SambaDomainController)'
found=$(printf '%s\n' "$symbols" | sed -E 's/^[0-9a-fA-F]+ [A-Za-z] //' | grep -E "$test_only" | sort -u || true)
if [ -n "$found" ]; then
  echo "test-only code in $lib:"
  printf '%s\n' "$found" | head -n 20 | sed 's/^/  /'
  exit 1
fi
echo "no test-only names among the $(printf '%s\n' "$symbols" | wc -l) symbols of $(basename "$lib")"
