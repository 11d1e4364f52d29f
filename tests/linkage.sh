#!/bin/sh
# The archive exports send_msg alone and needs nothing of the C++ runtime;
# the program "test" needs libc alone.
# usage: linkage.sh NM READELF libcapecho.a path/to/test
set -u
nm=$1 readelf=$2 lib=$3 prog=$4
status=0
fail() { echo "linkage: $*" >&2; status=1; }

exported=$("$nm" -g --defined-only "$lib" | awk 'NF == 3 { print $2, $3 }')
[ "$exported" = "T send_msg" ] || fail "archive exports more than 'T send_msg': $exported"

runtime=$("$nm" -u "$lib" | awk '{ print $NF }' | grep -E '^(_Z|__cxa_|__gxx_|_Unwind_|__gcc_)' || true)
[ -z "$runtime" ] || fail "archive needs the C++ runtime: $runtime"

needed=$("$readelf" -d "$prog" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "$prog needs more than libc: $needed"

[ $status -eq 0 ] && echo "linkage: archive exports only send_msg; test needs only libc"
exit $status
