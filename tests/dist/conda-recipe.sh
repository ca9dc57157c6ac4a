#!/bin/bash
# The conda recipe's build script and test, as far as they run without conda:
# the source tarball is made with git archive (tracked files, with the
# uncommitted changes to them), unpacked, and packaging/conda/build.sh runs
# in it with PREFIX a scratch folder, against the machine's libraries. It
# must install bin/seamline and its manual page, a seamline that inflates
# without ISA-L, and every command of the recipe's test must pass in a folder
# that holds the test's source files, with PREFIX/bin first on the PATH. The
# recipe's version must be the project's.
# Usage: conda-recipe.sh SRCDIR VERSION
source "$(dirname "$0")/lib.sh"
src=$(realpath "$1") version=$2
need git cmake tar ldd
recipe=$src/packaging/conda
meta=$recipe/meta.yaml
git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    skip "$src is not a git work tree: no tarball to make"

# {{ name }} and {{ version }} as conda-build renders them.
setting() { sed -n "s/^{% set $1 = \"\\(.*\\)\" %}\$/\\1/p" "$meta"; }
name=$(setting name) recipe_version=$(setting version)
[ "$name" = seamline ] || fail "the recipe names the package '$name'"
[ "$recipe_version" = "$version" ] ||
    fail "the recipe is of version '$recipe_version', the project of $version"
render() { sed -e "s/{{ *name *}}/$name/g" -e "s/{{ *version *}}/$version/g"; }

# The items of the list KEY under the recipe's test section, rendered.
test_items() {
    awk -v key="$1" '
        /^[a-z]/ { section = $1 }
        section == "test:" && /^  [a-z_]+:/ { inside = ($1 == key ":"); next }
        section == "test:" && inside && /^    - / { sub(/^    - /, ""); print }
    ' "$meta" | render
}

tarball=$scratch/$name-$version.tar.gz
# A commit of the work tree as it is (none when nothing changed); making it
# needs a name, which a fresh machine may not have.
commit=$(git -C "$src" -c user.name=seamline-test -c user.email=test@localhost stash create \
    2>/dev/null || true)
git -C "$src" archive --format=tar.gz --prefix="$name-$version/" -o "$tarball" "${commit:-HEAD}" ||
    fail "git archive failed"
mkdir -p "$scratch/work" "$scratch/test"
tar -xzf "$tarball" -C "$scratch/work"
unpacked=$scratch/work/$name-$version
prefix=$scratch/prefix
(cd "$unpacked" && PREFIX=$prefix SRC_DIR=$unpacked RECIPE_DIR=$recipe PKG_NAME=$name \
    PKG_VERSION=$version CPU_COUNT=2 bash -e "$recipe/build.sh") >"$scratch/build.log" 2>&1 ||
    fail "build.sh failed: $(tail -n 20 "$scratch/build.log")"

[ -x "$prefix/bin/seamline" ] || fail "build.sh installed no bin/seamline"
[ -f "$prefix/share/man/man1/seamline.1" ] || fail "build.sh installed no manual page"
! ldd "$prefix/bin/seamline" | grep -q libisal ||
    fail "the recipe's seamline links ISA-L, which the recipe does not bring"

mapfile -t sources < <(test_items source_files)
mapfile -t commands < <(test_items commands)
[ ${#sources[@]} -gt 0 ] || fail "the recipe's test copies no source file"
[ ${#commands[@]} -ge 2 ] || fail "the recipe's test has fewer than two commands"
printf '%s\n' "${commands[@]}" | grep -q 'seamline --version' ||
    fail "the recipe's test does not run seamline --version"
for file in "${sources[@]}"; do
    cp -R "$unpacked/$file" "$scratch/test/" || fail "the test's source file $file is missing"
done
for command in "${commands[@]}"; do
    (cd "$scratch/test" && PREFIX=$prefix PATH=$prefix/bin:$PATH bash -euo pipefail -c "$command") \
        >"$scratch/test.log" 2>&1 || fail "the recipe's test '$command' failed:
$(tail -n 10 "$scratch/test.log")"
done
echo "build.sh built and installed $name $version from $(basename "$tarball");" \
    "the recipe's ${#commands[@]} test commands passed"
