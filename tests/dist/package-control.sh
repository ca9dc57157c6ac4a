#!/bin/bash
# The control fields of the Debian package: name, version, maintainer,
# section, description, and the runtime libraries it depends on.
# Usage: package-control.sh PKGDIR VERSION
source "$(dirname "$0")/lib.sh"
dir=$1 version=$2
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
deb=$(ls "$dir"/*.deb) || fail "no package in $dir"
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "seamline_${version}_$arch.deb" ] || fail "unexpected file name $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = seamline ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), the build is $version"
[ "$(field Section)" = science ] || fail "Section: $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^\>@]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
description=$(field Description)
[[ ${description%%$'\n'*} == *haplotypes* ]] || fail "Description: $description"
[ "$(wc -l <<<"$description")" -gt 1 ] || fail "the Description has no long text"

# Depends: every package name, without versions.
depends=$(field Depends | tr ',' '\n' | sed -e 's/(.*)//' -e 's/^ *//' -e 's/ *$//')
for wanted in 'libboost-iostreams[0-9.]*' 'libisal[0-9]*' 'libdeflate[0-9]*' zlib1g 'libbz2-1\.0' 'libhts[0-9]*' libc6 libstdc\+\+6; do
    grep -qx "$wanted" <<<"$depends" || fail "Depends has no $wanted: $(field Depends)"
done
echo "Depends: $(field Depends)"
