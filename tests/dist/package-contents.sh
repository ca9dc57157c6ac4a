#!/bin/bash
# The Debian package holds the program and its gzip-compressed manual page;
# extracted with dpkg -x, man finds the page and the program runs the bundled
# example exactly as the program of the build does.
# Usage: package-contents.sh PKGDIR SEAMLINE SRCDIR PAGE
source "$(dirname "$0")/lib.sh"
dir=$1 built=$2 src=$3 page=$4
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
need dpkg man gzip
deb=$(ls "$dir"/*.deb) || fail "no package in $dir"

dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort >"$scratch/files"
printf '%s\n' ./usr/bin/seamline ./usr/share/man/man1/seamline.1.gz >"$scratch/expected"
diff -u "$scratch/expected" "$scratch/files" >&2 ||
    fail "the package's files (+) differ from the expected ones (-)"

root=$scratch/root
dpkg -x "$deb" "$root"
[ -x "$root/usr/bin/seamline" ] || fail "usr/bin/seamline is not executable"
gzip -t "$root/usr/share/man/man1/seamline.1.gz" || fail "the manual page is not gzip data"
gzip -dc "$root/usr/share/man/man1/seamline.1.gz" | cmp -s - "$page" ||
    fail "the packaged manual page differs from the one the build made"
found=$(man -M "$root/usr/share/man" -w seamline) || fail "man does not find seamline"
[ "$found" = "$root/usr/share/man/man1/seamline.1.gz" ] || fail "man found $found"

status=0
run_example "$root/usr/bin/seamline" "$src" "$scratch/packaged" || status=$?
[ "$status" -eq 0 ] || fail "the packaged seamline exited with status $status on the example"
[ ! -s "$scratch/packaged/stderr" ] ||
    fail "the packaged seamline wrote on standard error: $(cat "$scratch/packaged/stderr")"
for line in 'Reading site map in [sites.vcf]' '  * #sites=40' \
    'Assembling [chr20.c1.haps.gz] with [chr20.c2.haps.bz2]' \
    'Writing haplotypes in [../build/example.haps.gz]'; do
    grep -qxF "$line" "$scratch/packaged/stdout" || fail "no line '$line' in the output"
done

run_example "$built" "$src" "$scratch/built" || fail "the built seamline failed on the example"
cmp -s "$scratch/built/stdout" "$scratch/packaged/stdout" ||
    fail "the packaged and the built seamline print different console output"
cmp -s "$scratch/built/build/example.sample" "$scratch/packaged/build/example.sample" ||
    fail "the packaged and the built seamline write different sample files"
cmp -s <(gzip -dc "$scratch/built/build/example.haps.gz") \
    <(gzip -dc "$scratch/packaged/build/example.haps.gz") ||
    fail "the packaged and the built seamline write different haplotype files"
echo "$(basename "$deb"): program and manual page in place; the example runs"
