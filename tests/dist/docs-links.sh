#!/bin/bash
# The README is the door to the reference: every page of doc/ is linked from
# it, and every relative link of the README and of those pages leads to a file
# of the source tree and, when it names one, to a heading of that file.
# Usage: docs-links.sh SRCDIR
source "$(dirname "$0")/lib.sh"
src=$1
cd "$src" || fail "cannot enter $src"
[ -s README.md ] || fail "no README.md in $src"
pages=(doc/*.md)
[ -e "${pages[0]}" ] || fail "no page in $src/doc"

# The anchors of FILE's headings as the README's host makes them: lower case,
# punctuation dropped, spaces turned into hyphens. Fenced code is left out.
anchors() {
    awk '/^```/ { fenced = !fenced; next } !fenced && /^#+ / { sub(/^#+ +/, ""); print }' "$1" |
        tr '[:upper:]' '[:lower:]' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'
}

# The link targets of FILE that are not addresses on the web.
relative_links() {
    grep -o '\](\([^)]*\))' "$1" | sed -e 's/^](//' -e 's/)$//' | grep -v '^[a-z]*://' || true
}

for page in "${pages[@]}"; do
    grep -qF "]($page)" README.md || fail "README.md does not link $page"
done

links=0
for file in README.md "${pages[@]}"; do
    while read -r link; do
        target=${link%%#*}
        anchor=${link#"$target"}
        anchor=${anchor#\#}
        path=$(dirname "$file")/$target
        [ -n "$target" ] || path=$file
        [ -e "$path" ] || fail "$file links $link, but there is no $path"
        if [ -n "$anchor" ]; then
            anchors "$path" | grep -qx -- "$anchor" || fail "$file links $link, but $path has no such heading"
        fi
        links=$((links + 1))
    done < <(relative_links "$file")
done
echo "README.md links all ${#pages[@]} pages of doc/; $links relative links lead somewhere"
