#!/bin/sh
# Installs the build into a fresh prefix and uses it as an outsider would:
# a CMake project with find_package, a C program with pkg-config, the
# installed server, and the service files.
# usage: packaging_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() { echo "packaging: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in lib/libcapecho.a include/capecho.h lib/cmake/capecho/capechoConfig.cmake \
         lib/cmake/capecho/capechoConfigVersion.cmake lib/pkgconfig/capecho.pc \
         bin/capecho-server libexec/capecho/test share/man/man1/capecho-server.1.gz \
         lib/systemd/system/capecho.service lib/systemd/system/capecho.socket \
         lib/systemd/system/capecho-stdio.socket lib/systemd/system/capecho-stdio@.service \
         share/doc/capecho-server/examples/inetd.conf share/doc/capecho-server/examples/xinetd.conf \
         share/doc/capecho-server/copyright share/doc/libcapecho-dev/copyright \
         etc/default/capecho-server share/bash-completion/completions/capecho-server; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# Units and examples name the server where it was installed: the prefix of
# this install, not the configured one; DESTDIR stays out of them.
names_server() {
  for f in "$1"/lib/systemd/system/capecho.service "$1"/lib/systemd/system/capecho-stdio@.service \
           "$1"/share/doc/capecho-server/examples/inetd.conf \
           "$1"/share/doc/capecho-server/examples/xinetd.conf; do
    grep -q "$2/bin/capecho-server" "$f" || fail "$f does not name $2/bin/capecho-server"
  done
}
names_server "$prefix" "$prefix"
DESTDIR=$work/stage cmake --install "$build" --prefix /opt/capecho >/dev/null
names_server "$work/stage/opt/capecho" /opt/capecho
[ ! -e "$prefix/include/socket.h" ] || fail "the internal socket.h was installed"
[ ! -e "$prefix/bin/test" ] || fail "test was put on PATH"
[ "$("$prefix/libexec/capecho/test")" = "Hello" ] || fail "installed test does not greet"

# A CMake consumer.
cmake -S "$src/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/consumer"

# A CMake project that adds the source tree itself: the library alone is built.
cmake -S "$src/tests/subdir_consumer" -B "$work/subdir" -DCAPECHO_SOURCE_DIR="$src" >/dev/null
cmake --build "$work/subdir" >/dev/null
"$work/subdir/consumer"
[ ! -e "$work/subdir/capecho/server" ] || fail "add_subdirectory built the server"

# A C program through pkg-config, with the C compiler alone.
PKG_CONFIG_PATH=$prefix/lib/pkgconfig
export PKG_CONFIG_PATH
flags=$(pkg-config --cflags --libs capecho | sed 's/ *$//')
[ "$flags" = "-I$prefix/include -L$prefix/lib -lcapecho" ] ||
  fail "pkg-config --cflags --libs capecho: $flags"
# shellcheck disable=SC2086
cc -std=c11 -o "$work/c_host" "$src/tests/c_host.c" $flags
"$work/c_host"

# The settings file: the unit reads it; it names every option --help lists
# but those of the command line alone, each commented out; uncommented as
# shipped, every line is accepted and changes nothing; a variable changed
# there takes effect.
defaults=$prefix/etc/default/capecho-server
server=$prefix/bin/capecho-server
grep -qx 'EnvironmentFile=-/etc/default/capecho-server' "$prefix/lib/systemd/system/capecho.service" ||
  fail "capecho.service does not read /etc/default/capecho-server"
for option in $("$server" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  case $option in --help | --version | --stdio) continue ;; esac
  variable=CAPECHO_$(echo "${option#--}" | tr 'a-z-' 'A-Z_')
  grep -q "^#$variable=" "$defaults" || fail "$defaults lacks a commented $variable"
done
! grep -q '^[^#]' "$defaults" || fail "$defaults sets something: $(grep '^[^#]' "$defaults")"
sed -n 's/^#\(CAPECHO_[A-Z_]*=\)/\1/p' "$defaults" >"$work/settings"
echo 'CAPECHO_LISTEN="127.0.0.1:0 unix:'"$work"'/echo.sock"' >>"$work/settings"
echo 'CAPECHO_MAX_CONNECTIONS=7' >>"$work/settings"
# shellcheck disable=SC1091
(set -a && . "$work/settings" && exec "$server") 2>"$work/server.log" &
server_pid=$!
# wait_log TEXT: until the server logs TEXT; fails after 20 s or if it exits.
wait_log() {
  tries=0
  until grep -q -- "$1" "$work/server.log"; do
    tries=$((tries + 1))
    if [ $tries -gt 400 ] || ! kill -0 $server_pid 2>/dev/null; then
      kill $server_pid 2>/dev/null
      fail "$2: $(cat "$work/server.log")"
    fi
    sleep 0.05
  done
}
wait_log "listening on unix:$work/echo.sock" "the uncommented settings did not start the server"
kill -USR1 $server_pid
wait_log "(limit 7," "CAPECHO_MAX_CONNECTIONS did not take effect"
kill $server_pid
wait $server_pid || fail "the server did not stop cleanly: $(cat "$work/server.log")"
echo "packaging: the settings file names every option and its variables take effect"

# Bash completion as installed: valid, and it completes option names and
# offers nothing after an option that takes a value.
completion=$prefix/share/bash-completion/completions/capecho-server
bash -n "$completion" || fail "the completion script does not parse"
complete_words() {
  bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _capecho_server
           printf "%s\n" "${COMPREPLY[@]}"' sh "$completion" "$@"
}
[ "$(complete_words capecho-server --max-c)" = "--max-connections" ] ||
  fail "--max-c completes to '$(complete_words capecho-server --max-c)'"
[ "$(complete_words capecho-server -q --proxy- | tr '\n' ' ')" = "--proxy-protocol --proxy-timeout " ] ||
  fail "--proxy- completes to '$(complete_words capecho-server -q --proxy-)'"
[ -z "$(complete_words capecho-server --workers "")" ] || fail "a value was completed"
[ -z "$(complete_words capecho-server --completion)" ] || fail "the hidden option is offered"
echo "packaging: bash completion parses and completes options"

# The installed server answers --version.
"$prefix/bin/capecho-server" --version >/dev/null || fail "installed server does not run"

# Units, with their ExecStart pointing into this prefix.
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$work/units"
  for u in "$prefix"/lib/systemd/system/*; do
    sed "s|/[^ ]*/bin/capecho-server|$prefix/bin/capecho-server|" "$u" >"$work/units/$(basename "$u")"
  done
  out=$(cd "$work/units" && SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
        capecho.socket capecho.service capecho-stdio.socket 2>&1 | grep -v 'Failed to .*bus' || true)
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
  echo "packaging: systemd units verified"
else
  echo "packaging: systemd-analyze not found, units not verified"
fi
echo "packaging: install, find_package and pkg-config consumers all work"
