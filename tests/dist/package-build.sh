#!/bin/bash
# Builds the Debian package into OUTDIR with CPack, as `make package` does in
# the build directory; the package checks use it.
# Usage: package-build.sh CPACK BUILDDIR OUTDIR
source "$(dirname "$0")/lib.sh"
cpack=$1 build=$2 out=$3
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
rm -rf "$out"
mkdir -p "$out"
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$out/cpack.log")"
# The staging tree is of no further use.
rm -rf "$out/_CPack_Packages"
debs=("$out"/*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    fail "cpack made no single .deb: ${debs[*]}"
fi
echo "built $(basename "${debs[0]}")"
