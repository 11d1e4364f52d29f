#!/bin/sh
# The documentation says what the server does: every long option --help lists
# is in the README and the man page, and the man page and the package
# descriptions name no option the server lacks; the built man page carries the
# project's version and nothing left of its template; each Debian package has
# a summary of its own, and capecho-server's summary and description are the
# man page's NAME and DESCRIPTION as man renders them.
# usage: docs_test.sh SERVER SOURCE_DIR BUILT_MAN_PAGE VERSION DEBIAN_CONTROL
set -u
server=$1 src=$2 man=$3 version=$4 control=$5
descriptions=$(mktemp -d)
trap 'rm -rf "$descriptions"' EXIT
# A package's description from the control file: the summary, then the body
# with its leading space gone and "." as the empty line it stands for.
for package in capecho-server libcapecho-dev; do
  awk -v package="$package" '
    /^Package: / { inside = ($2 == package); next }
    inside && sub(/^Description: /, "") { print; body = 1; next }
    inside && body && /^ / { line = substr($0, 2); print (line == "." ? "" : line); next }
    body { exit }' "$control" >"$descriptions/$package.description"
  [ -s "$descriptions/$package.description" ] || { echo "docs: $control describes no $package" >&2; exit 1; }
done
status=0
fail() { printf 'docs: %s\n' "$*" >&2; status=1; }
options=$("$server" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || { echo "docs: --help lists no options" >&2; exit 1; }
for option in $options; do
  grep -q -- "$option" "$src/README.md" || fail "README.md lacks $option"
  escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
  grep -q -- "$escaped" "$man" || fail "the man page lacks $option"
done
server_description=$descriptions/capecho-server.description
dev_description=$descriptions/libcapecho-dev.description
named=$( (sed 's/\\-/-/g' "$man"; cat "$server_description" "$dev_description") |
  grep -o -- '--[a-z][a-z-]*' | sort -u)
for option in $named; do
  echo "$options" | grep -qx -- "$option" || fail "the man page or a package names $option, which --help does not"
done

grep '^\.TH ' "$man" | grep -q "\"capecho $version\"" || fail "the man page is not for version $version"
! grep -n '@[A-Z_]*@' "$man" || fail "the built man page still holds template variables"

server_summary=$(head -1 "$server_description")
dev_summary=$(head -1 "$dev_description")
[ "$server_summary" != "$dev_summary" ] || fail "both packages have the summary '$server_summary'"

# Words and spaces only, so that line breaks and sentence spacing do not count.
flat() { tr -s ' \n' '  ' | sed 's/^ //; s/ $//'; }
if command -v man >/dev/null 2>&1; then
  rendered=$(MANWIDTH=10000 LC_ALL=C man -l --nh --nj -P cat "$man" 2>/dev/null)
  # A section's text: its indented lines, up to the next heading or subheading.
  section() { printf '%s\n' "$rendered" | awk -v name="$1" '
    $0 == name { inside = 1; next }
    inside && match($0, /[^ ]/) && RSTART <= 4 { exit }
    inside { print }'; }
  name=$(section NAME | flat)
  [ "$name" = "capecho-server - $server_summary" ] ||
    fail "the package summary '$server_summary' is not the man page's NAME '$name'"
  # The description's paragraphs but the last, which says where the package put things.
  about=$(tail -n +2 "$server_description" | awk 'BEGIN { RS = "" } { p[NR] = $0 }
    END { for (i = 1; i < NR; i++) print p[i] }' | flat)
  page_about=$(section DESCRIPTION | flat)
  [ "$about" = "$page_about" ] ||
    fail "capecho-server's package description is not the man page's DESCRIPTION:
  package:  $about
  man page: $page_about"
else
  echo "docs: man is not installed; the package description was not compared with the man page"
fi
[ $status -eq 0 ] && echo "docs: $(echo "$options" | wc -l) options documented in README and man page; package descriptions agree"
exit $status
