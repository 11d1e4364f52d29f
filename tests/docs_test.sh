#!/bin/sh
# Every long option the server's --help lists is documented in the README and
# in the man page, and the man page carries the project's version.
# usage: docs_test.sh SERVER SOURCE_DIR BUILT_MAN_PAGE VERSION
set -u
server=$1 src=$2 man=$3 version=$4
status=0
options=$("$server" --help | grep -o -- '--[a-z][a-z-]*' | sort -u)
[ -n "$options" ] || { echo "docs: --help lists no options" >&2; exit 1; }
for option in $options; do
  grep -q -- "$option" "$src/README.md" || { echo "docs: README.md lacks $option" >&2; status=1; }
  escaped=$(printf '%s' "$option" | sed 's/-/\\\\-/g')
  grep -q -- "$escaped" "$man" || { echo "docs: the man page lacks $option" >&2; status=1; }
done
head -1 "$man" | grep -q "\"capecho $version\"" ||
  { echo "docs: the man page is not for version $version" >&2; status=1; }
[ $status -eq 0 ] && echo "docs: $(echo "$options" | wc -l) options documented in README and man page"
exit $status
