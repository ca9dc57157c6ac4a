# Shared by the checks of the manual page, the install layout and the Debian
# package. Every check works in its own scratch directory under /tmp.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Exit status 77 marks the test as skipped (SKIP_RETURN_CODE).
skip() {
    echo "SKIP: $*"
    exit 77
}

need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || fail "$tool is not installed (make deps installs it)"
    done
}

scratch=$(mktemp -d /tmp/seamline-dist-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Collapses every run of blanks to one space and trims the line ends, so that
# console output compares equal to its copy in a document whatever the indent
# and however the tabs were rendered.
normalize() {
    sed -e 's/[[:space:]]\{1,\}/ /g' -e 's/^ //' -e 's/ $//'
}

# The arguments `make example` passes to seamline, read from the Makefile.
example_args() {
    local makefile=$1 line
    # shellcheck disable=SC2016 # $(BUILD) is the Makefile's text, not the shell's
    line=$(sed -n 's|^\tcd examples && \.\./\$(BUILD)/seamline \(.*\)$|\1|p' "$makefile")
    [ -n "$line" ] || fail "no 'cd examples && ../\$(BUILD)/seamline ...' line in $makefile"
    echo "${line//\$(BUILD)/build}"
}

# run_example BIN SRCDIR DIR: runs BIN like `make example` does, on a copy of
# SRCDIR/examples in DIR/examples with the outputs in DIR/build. Standard
# output goes to DIR/stdout, standard error to DIR/stderr; returns BIN's status.
run_example() {
    local bin=$1 src=$2 dir=$3 args
    args=$(example_args "$src/Makefile")
    mkdir -p "$dir/build"
    cp -R "$src/examples" "$dir/examples"
    # The arguments are plain words; splitting them is intended.
    # shellcheck disable=SC2086
    (cd "$dir/examples" && "$bin" $args) >"$dir/stdout" 2>"$dir/stderr"
}
