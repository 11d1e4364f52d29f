#!/bin/sh
# The stack switch keeps to the control-flow protection the program is built
# with: marked for indirect-branch tracking when asked (the assembler's own
# flag, or the C++ flags passed on by the build), unmarked otherwise, and a
# shadow stack refused both by the assembly and by configuration.
# usage: control_flow_test.sh CC READELF OBJDUMP SOURCE_DIR
set -eu
cc=$1 readelf=$2 objdump=$3 src=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "control_flow_test: $*" >&2; exit 1; }

case $(uname -m) in
x86_64)
  branch=-fcf-protection=branch shadow=-fcf-protection=full
  feature="x86 feature: IBT" landing=endbr64 ;;
aarch64)
  branch=-mbranch-protection=bti shadow=-mbranch-protection=gcs
  feature="aarch64 feature: BTI" landing="bti	c" ;;
*) fail "no stack switch for $(uname -m)" ;;
esac

# assemble NAME FLAGS...: the switch's object, its notes and its listing.
assemble() {
  name=$1
  shift
  "$cc" "$@" -c "$src/server/runtime/stack_switch.S" -o "$scratch/$name.o"
  "$readelf" -n "$scratch/$name.o" >"$scratch/$name.notes"
  "$objdump" -d "$scratch/$name.o" >"$scratch/$name.listing"
}

for how in "flag $branch" "build -DCAPECHO_BRANCH_TARGETS"; do
  set -- $how
  assemble "$1" "$2"
  grep -q "$feature" "$scratch/$1.notes" || fail "not marked with $2: $(cat "$scratch/$1.notes")"
  grep -A1 '<capecho_stack_switch>:' "$scratch/$1.listing" | grep -q "$landing" ||
    fail "no landing pad at the switch's entry with $2"
done
assemble plain
! grep -q "feature" "$scratch/plain.notes" || fail "marked without being asked: $(cat "$scratch/plain.notes")"

# gcs is unknown to older compilers: then it cannot be asked for at all.
if "$cc" $shadow -x c -c /dev/null -o "$scratch/probe.o" 2>/dev/null; then
  ! "$cc" $shadow -c "$src/server/runtime/stack_switch.S" -o "$scratch/shadow.o" 2>"$scratch/shadow.err" ||
    fail "assembled with $shadow"
  grep -q "shadow stack" "$scratch/shadow.err" || fail "no reason given: $(cat "$scratch/shadow.err")"
  ! cmake -S "$src" -B "$scratch/configured" -DCAPECHO_BUILD_TESTS=OFF -DCAPECHO_INSTALL=OFF \
    -DCMAKE_CXX_FLAGS="$shadow" >"$scratch/configure.log" 2>&1 || fail "configured with $shadow"
  grep -q "cannot keep" "$scratch/configure.log" || fail "configuration gave no reason: $(cat "$scratch/configure.log")"
fi
echo "control_flow_test: marked when asked, unmarked otherwise, shadow stacks refused"
