#!/bin/bash
# ./setup, the README's set-up command, with stand-ins for apt-get, make and
# id on a PATH of its own: it installs make only where make is missing and it
# is root, then runs make with its arguments from the top of the source tree
# and ends with make's status; a failed install, or make missing without root,
# stops it before make runs.
# Usage: setup.sh SRCDIR
source "$(dirname "$0")/lib.sh"
src=$(realpath "$1")
bin=$scratch/bin
calls=$scratch/calls

# The stand-ins log their words and exit with the status that
# $scratch/NAME.status holds; make also logs the folder it runs in.
# Installing make with apt-get puts make's stand-in on the PATH.
cat >"$scratch/make" <<EOF
#!/bin/bash
echo "make \$*" >>$calls
echo "make ran in \$PWD" >>$calls
read -r status <$scratch/make.status
exit \$status
EOF
cat >"$scratch/apt-get" <<EOF
#!/bin/bash
echo "apt-get \$*" >>$calls
[ "\$1" != install ] || $(command -v cp) $scratch/make $bin/make
read -r status <$scratch/apt-get.status
exit \$status
EOF
chmod +x "$scratch/make" "$scratch/apt-get"

# check NAME HAS_MAKE UID APT_STATUS MAKE_STATUS ARGS EXPECTED_STATUS EXPECTED_CALLS
check() {
    local name=$1 has_make=$2 uid=$3 args=$6 want_status=$7 want_calls=$8 status=0
    echo "$4" >"$scratch/apt-get.status"
    echo "$5" >"$scratch/make.status"
    rm -rf "$bin" "$calls"
    mkdir "$bin"
    : >"$calls"
    ln -s "$(command -v dirname)" "$bin/dirname"
    printf '#!/bin/bash\necho %s\n' "$uid" >"$bin/id"
    chmod +x "$bin/id"
    cp "$scratch/apt-get" "$bin/apt-get"
    [ "$has_make" = no ] || cp "$scratch/make" "$bin/make"
    # shellcheck disable=SC2086 # the arguments are plain words
    PATH=$bin /bin/bash "$src/setup" $args >"$scratch/out" 2>&1 </dev/null || status=$?
    [ "$status" -eq "$want_status" ] ||
        fail "$name: exit status $status, not $want_status: $(cat "$scratch/out")"
    [ "$(cat "$calls")" = "$want_calls" ] ||
        fail "$name: ran
$(cat "$calls")
instead of
$want_calls"
}

ran="make ran in $src"
check "make missing, as root" no 0 0 0 example 0 "apt-get update -qq
apt-get install -y -qq make
make example
$ran"
check "make installed" yes 0 0 0 "test BUILD=b" 0 "make test BUILD=b
$ran"
check "make installed, not root" yes 1000 0 0 test 0 "make test
$ran"
check "make missing, not root" no 1000 0 0 example 1 ""
grep -q 'make is not installed' "$scratch/out" || fail "no word of the missing make: $(cat "$scratch/out")"
check "apt-get fails" no 0 100 0 test 100 "apt-get update -qq"
check "make fails" yes 0 0 2 test 2 "make test
$ran"
echo "./setup installs make only where it is missing, as root, and hands its arguments to make"
