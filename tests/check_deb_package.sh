#!/usr/bin/env bash
# Builds the Debian packages of a build tree (`cpack -G DEB`) in a temporary
# directory and checks what they hold:
#  - two packages: userpolicy (the runtime: the library's versioned files,
#    upm, its manual page, the sample settings) and userpolicy-dev (the
#    headers, the unversioned .so link, the .pc file, the CMake package);
#  - the control fields: names and version; the runtime's dependencies name
#    the LDAP library, the -dev package depends on the runtime of its own
#    version;
#  - each holds exactly the files `cmake --install --component` puts into a
#    prefix for its component, under /usr, and together what `cmake
#    --install` installs;
#  - nothing of tests/, testing/, local_directories/ or bench/, no static
#    library, no test or benchmark program;
#  - the packaged .pc file, read where the packages unpack, names the
#    packaged include directory and library (the library's SONAME is
#    installed_library_test's);
#  - a small C host builds from the unpacked -dev package through its .pc
#    file and runs with the unpacked runtime library (dpkg-deb -x into a
#    temporary root: no root rights needed).
#   [CPACK=cpack] [CMAKE=cmake] [HOST_CC=cc] [HOST_FLAGS=...] check_deb_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1 version=$2
major=${version%%.*}
work=$(mktemp -d "${TMPDIR:-/tmp}/userpolicy-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! "${CPACK:-cpack}" -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  exit 1
fi
runtime=$work/out/userpolicy_${version}_$(dpkg --print-architecture).deb
dev=$work/out/userpolicy-dev_${version}_$(dpkg --print-architecture).deb
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 2 ] && [ -f "$runtime" ] && [ -f "$dev" ] ||
  { echo "expected $(basename "$runtime") and $(basename "$dev"), got: ${debs[*]}"; exit 1; }

for deb in "$runtime" "$dev"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$(basename "$deb"): version $(dpkg-deb -f "$deb" Version)"
done
[ "$(dpkg-deb -f "$runtime" Package)" = userpolicy ] || fail "runtime package name $(dpkg-deb -f "$runtime" Package)"
[ "$(dpkg-deb -f "$dev" Package)" = userpolicy-dev ] || fail "-dev package name $(dpkg-deb -f "$dev" Package)"
dpkg-deb -f "$runtime" Depends | grep -q 'libldap' ||
  fail "the runtime's Depends does not name libldap: $(dpkg-deb -f "$runtime" Depends)"
dpkg-deb -f "$dev" Depends | grep -qF "userpolicy (= $version)" ||
  fail "the -dev package does not depend on userpolicy (= $version): $(dpkg-deb -f "$dev" Depends)"

# Files and links of a package: "./usr/lib/x" or "./usr/lib/x -> target".
listing() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort; }
listing "$runtime" >"$work/runtime.listing"
listing "$dev" >"$work/dev.listing"
files_of() { sed -E 's/ -> .*//; s|^\./||' "$1"; }

expect() {  # expect PACKAGE_LISTING ENTRY...: each entry is in that package
  local list=$1 wanted
  shift
  for wanted in "$@"; do
    grep -qxF "$wanted" "$list" || fail "missing from $(basename "$list" .listing): $wanted"
  done
}
expect "$work/runtime.listing" \
  "./usr/lib/libuserpolicy.so.$major -> libuserpolicy.so.$version" \
  "./usr/lib/libuserpolicy.so.$version" \
  "./usr/bin/upm" \
  "./usr/share/man/man1/upm.1" \
  "./usr/share/doc/userpolicy/settings.example.toml"
expect "$work/dev.listing" \
  "./usr/lib/libuserpolicy.so -> libuserpolicy.so.$major" \
  "./usr/include/userpolicy/module/module_entry.h" \
  "./usr/include/userpolicy/resolve/policy_filter_ds_access_helper.h" \
  "./usr/include/userpolicy/platform/posix/com_posix.h" \
  "./usr/include/userpolicy/capi/userpolicy.h" \
  "./usr/lib/pkgconfig/userpolicy.pc" \
  "./usr/lib/cmake/userpolicy/userpolicyConfig.cmake" \
  "./usr/lib/cmake/userpolicy/userpolicyConfigVersion.cmake" \
  "./usr/lib/cmake/userpolicy/userpolicyTargets.cmake"

test_only='(^|/)(tests?|testing|local_directories|bench)/|\.a$|_test$|_bench$|upm_demo|generate_directory|slapd|samba'
for component in runtime dev; do
  if files_of "$work/$component.listing" | grep -E "$test_only"; then
    fail "test-only files in the $component package (listed above)"
  fi
  "${CMAKE:-cmake}" --install "$build" --component "$component" --prefix "$work/prefix-$component" >/dev/null
  installed=$(cd "$work/prefix-$component" && find . ! -type d | sed 's|^\./|usr/|' | sort)
  if ! diff <(echo "$installed") <(files_of "$work/$component.listing") >"$work/diff"; then
    fail "the $component package differs from its component's install ('<' installed only, '>' packaged only):"
    cat "$work/diff"
  fi
done
"${CMAKE:-cmake}" --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . ! -type d | sed 's|^\./|usr/|' | sort)
if ! diff <(echo "$installed") <(cat "$work/runtime.listing" "$work/dev.listing" | sed -E 's/ -> .*//; s|^\./||' | sort) \
  >"$work/diff"; then
  fail "the two packages differ from what cmake --install installs ('<' installed only, '>' packaged only):"
  cat "$work/diff"
fi

# Both packages unpacked into one temporary root, as an unprivileged user would.
dpkg-deb -x "$runtime" "$work/root"
dpkg-deb -x "$dev" "$work/root"
# Token by token: the temporary directory's random name may itself hold "-I" or "-L".
flags=$(PKG_CONFIG_LIBDIR="$work/root/usr/lib/pkgconfig" pkg-config --cflags --libs userpolicy)
include="" libdir=""
for flag in $flags; do
  case $flag in
    -I*) include=${flag#-I} ;;
    -L*) libdir=${flag#-L} ;;
  esac
done
[ -f "$include/module/module_entry.h" ] || fail "the .pc file's include directory '$include' lacks the headers"
[ -f "$libdir/libuserpolicy.so" ] || fail "the .pc file's library directory '$libdir' lacks the library"

# A C host of the C interface, built with the .pc file's flags alone.
cat >"$work/host.c" <<'EOF'
#include <stdio.h>

#include "capi/userpolicy.h"

int main(void) {
  up_counters counters;
  if (up_get_counters(0, &counters, NULL) != UP_OK) return 1;
  printf("%s %u %s\n", up_version(), (unsigned)up_counter_count(), up_counter_info_at(0)->field);
  return 0;
}
EOF
# shellcheck disable=SC2086  # the flags are words
if ! "${HOST_CC:-cc}" ${HOST_FLAGS:-} -o "$work/host" "$work/host.c" $flags >"$work/host.log" 2>&1; then
  fail "a C host does not build from the -dev package:"
  cat "$work/host.log"
else
  answer=$(LD_LIBRARY_PATH="$libdir" "$work/host" 2>&1) || true
  [ "$answer" = "$version 16 total_ds_access" ] || fail "the C host answered '$answer'"
fi

if [ $failures -ne 0 ]; then
  for component in runtime dev; do
    echo "$component package contents:"
    sed 's/^/  /' "$work/$component.listing"
  done
  exit 1
fi
echo "$(basename "$runtime") ($(wc -l <"$work/runtime.listing") files) and $(basename "$dev")" \
  "($(wc -l <"$work/dev.listing") files): as cmake --install installs each component, nothing test-only;" \
  "a C host builds from them"
