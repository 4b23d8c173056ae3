#!/usr/bin/env bash
# Builds the Debian package of a build tree (`cpack -G DEB`) in a temporary
# directory and checks what it holds:
#  - the control fields: the package's name and version, and dependencies
#    that name the LDAP library;
#  - the library with its SONAME link chain, the headers, the .pc file and
#    the CMake package files;
#  - exactly the files `cmake --install` puts into a prefix, under /usr;
#  - nothing of tests/, testing/, local_directories/ or bench/, no static
#    library, no test or benchmark program;
#  - the packaged .pc file, read where the package unpacks, names the
#    packaged include directory and library.
#   [CPACK=cpack] [CMAKE=cmake] check_deb_package.sh BUILD_DIR VERSION
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
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one package, got: ${debs[*]}"; exit 1; }
deb=${debs[0]}

[ "$(dpkg-deb -f "$deb" Package)" = userpolicy ] || fail "package name $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version)"
dpkg-deb -f "$deb" Depends | grep -q 'libldap' || fail "Depends does not name libldap: $(dpkg-deb -f "$deb" Depends)"

# Files and links of the package: "./usr/lib/x" or "./usr/lib/x -> target".
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | sort >"$work/listing"
files=$(sed -E 's/ -> .*//; s|^\./||' "$work/listing")

for wanted in \
  "./usr/lib/libuserpolicy.so -> libuserpolicy.so.$major" \
  "./usr/lib/libuserpolicy.so.$major -> libuserpolicy.so.$version" \
  "./usr/lib/libuserpolicy.so.$version" \
  "./usr/include/userpolicy/module/module_entry.h" \
  "./usr/include/userpolicy/resolve/policy_filter_ds_access_helper.h" \
  "./usr/include/userpolicy/platform/posix/com_posix.h" \
  "./usr/include/userpolicy/capi/userpolicy.h" \
  "./usr/lib/pkgconfig/userpolicy.pc" \
  "./usr/lib/cmake/userpolicy/userpolicyConfig.cmake" \
  "./usr/lib/cmake/userpolicy/userpolicyConfigVersion.cmake" \
  "./usr/lib/cmake/userpolicy/userpolicyTargets.cmake"; do
  grep -qxF "$wanted" "$work/listing" || fail "missing: $wanted"
done

test_only='(^|/)(tests?|testing|local_directories|bench)/|\.a$|_test$|_bench$|upm_demo|generate_directory|slapd|samba'
if grep -E "$test_only" <<<"$files"; then fail "test-only files in the package (listed above)"; fi

"${CMAKE:-cmake}" --install "$build" --prefix "$work/prefix" >/dev/null
installed=$(cd "$work/prefix" && find . ! -type d | sed 's|^\./|usr/|' | sort)
if ! diff <(echo "$installed") <(echo "$files") >"$work/diff"; then
  fail "the package differs from what cmake --install installs ('<' installed only, '>' packaged only):"
  cat "$work/diff"
fi

dpkg-deb -x "$deb" "$work/root"
soname=$(readelf -d "$work/root/usr/lib/libuserpolicy.so.$version" | sed -nE 's/.*Library soname: \[(.*)\]/\1/p')
[ "$soname" = "libuserpolicy.so.$major" ] || fail "SONAME '$soname'"
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

if [ $failures -ne 0 ]; then
  echo "package contents:"
  sed 's/^/  /' "$work/listing"
  exit 1
fi
echo "$(basename "$deb"): $(wc -l <"$work/listing") files, as cmake --install installs them, nothing test-only"
