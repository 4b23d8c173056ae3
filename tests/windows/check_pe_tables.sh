#!/usr/bin/env bash
# The export and import tables of userpolicy.dll, read with the cross
# binutils:
#   check_pe_tables.sh exports OBJDUMP CXXFILT DLL EXPECTED_LIST
#     the exported names, demangled, are exactly the designed list of
#     tests/expected_exports.txt up to its POSIX-only section (the COM
#     support, which Windows provides itself), without the "typeinfo name"
#     entries (mingw-w64 keeps those inside the module); and the only
#     undecorated names are IPC_SERVER_Init, IPC_SERVER_Deinit,
#     IPC_SERVER_Free and the C interface's up_* functions.
#   check_pe_tables.sh imports OBJDUMP MODULE [DLL...]
#     the module (the DLL, or a program) imports system DLLs and the DLLs
#     named after it only (no C++ runtime, libgcc or winpthread DLL of the
#     toolchain), and each named DLL is imported (upm.exe: userpolicy.dll
#     through its import library).
set -euo pipefail
mode=$1
case "$mode" in
  exports)
    objdump=$2 cxxfilt=$3 dll=$4 expected=$5
    # The name table runs from its heading to the next empty line; awk reads
    # on to the end, so that objdump never writes into a closed pipe.
    raw=$("$objdump" -p "$dll" |
          awk '/\[Ordinal\/Name Pointer\] Table/ {f = 1; next} f && NF == 0 {f = 0; done = 1} f && !done {print $NF}')
    actual=$(echo "$raw" | "$cxxfilt" | sort -u)
    wanted=$(awk '/^# The COM support classes/ {done = 1} !done && !/^[[:space:]]*(#|$)/' "$expected" |
             grep -v '^typeinfo name for ' | sort -u)
    status=0
    if ! diff <(echo "$wanted") <(echo "$actual"); then
      echo "export table differs from $expected ('<' designed but missing, '>' exported but not designed)"
      status=1
    fi
    undecorated=$(echo "$raw" | grep -v '^_Z' | sort -u)
    wanted_undecorated=$(printf '%s\n' IPC_SERVER_Deinit IPC_SERVER_Free IPC_SERVER_Init; grep -E '^up_[a-z_]+$' "$expected")
    if ! diff <(echo "$wanted_undecorated" | sort -u) <(echo "$undecorated"); then
      echo "undecorated exports differ from IPC_SERVER_Init/Deinit/Free and the up_* functions"
      status=1
    fi
    [ $status -eq 0 ] && echo "exports match: $(echo "$actual" | wc -l) names, $(echo "$undecorated" | wc -l) of them undecorated"
    exit $status
    ;;
  imports)
    objdump=$2 module=$3
    shift 3
    # The Windows DLLs the module may use, and ours; anything else would
    # have to ship beside it.
    system='^(advapi32|crypt32|dnsapi|kernel32|msvcrt|ole32|oleaut32|secur32|shell32|wldap32|ws2_32)\.dll$'
    imports=$("$objdump" -p "$module" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
    others=$(echo "$imports" | grep -vE "$system" || true)
    status=0
    for ours in "$@"; do
      if ! echo "$imports" | grep -qxF "$ours"; then
        echo "does not import $ours"
        status=1
      fi
      others=$(echo "$others" | grep -vxF "$ours" || true)
    done
    if [ -n "$others" ]; then
      echo "imports DLLs that are neither system DLLs nor ours:"
      echo "$others"
      status=1
    fi
    [ $status -eq 0 ] && echo "imports system DLLs${*:+ and $*} only: $(echo "$imports" | tr '\n' ' ')"
    exit $status
    ;;
  *)
    echo "usage: check_pe_tables.sh exports|imports ..." >&2
    exit 2
    ;;
esac
