#!/bin/sh
# capecho-loadgen's source addresses multiply the ports it can connect from:
# in a network namespace of its own with ten ephemeral ports, 24 held
# sessions from 127.0.0.1 alone run out of ports, and the same 24 spread over
# three source addresses all get through. Skips (77) where no namespace can
# be made.
# usage: test_loadgen.sh LOADGEN SERVER
set -u
[ "${IN_NAMESPACE:-}" = 1 ] || {
  unshare -n true 2>/dev/null || { echo "test_loadgen: cannot make a network namespace, skipped"; exit 77; }
  exec env IN_NAMESPACE=1 unshare -n sh "$0" "$@"
}
loadgen=$1 server=$2
ip link set lo up || exit 1
echo "40000 40009" >/proc/sys/net/ipv4/ip_local_port_range || exit 1
status=0
hold() { # hold SOURCES: the RESULT line of 24 sessions opened, held and closed
  timeout 60 "$loadgen" hold -c 24 --sources "$1" --timeout-ms 5000 --max-secs 20 \
    --spawn "$server --listen 127.0.0.1:0" 2>/dev/null | grep '^RESULT '
}
one=$(hold 0)
echo "one address:   $one"
case $one in *" established=24 "*) echo "test_loadgen: 24 sessions from ten ports, the namespace's range is not in force"; status=1 ;; esac
case $one in *" connect_errors=0 "*) echo "test_loadgen: running out of ports counted no connect error"; status=1 ;; esac
three=$(hold 3)
echo "three addresses: $three"
case $three in *" established=24 "*" connect_errors=0 "*" errors=0 "*) ;; *) echo "test_loadgen: spread over three addresses, not every session got through"; status=1 ;; esac
exit $status
