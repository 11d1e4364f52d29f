#!/bin/sh
# The container path: builds the static server the image is made of, checks
# the Kubernetes manifests offline against the API's schema and the server's
# options (tests/manifests_test.mjs, with npm packages pinned below, kept in
# build/kubernetes-check/), then builds and runs the image with podman
# (tests/container_test.py, which skips where podman is missing).
# usage: sh tests/container_test.sh
set -eu
cd "$(dirname "$0")/.."
packages="kubernetes-models@4.5.1 js-yaml@4.1.0 typescript@5.6.3"
modules=build/kubernetes-check

cmake --preset container >/dev/null
cmake --build --preset container >/dev/null 2>&1 || cmake --build --preset container
if ! command -v npm >/dev/null; then
  echo "container test: npm is not installed: the manifests are not checked"
else
  if [ "$(cat "$modules/installed" 2>/dev/null)" != "$packages" ]; then
    rm -rf "$modules"
    mkdir -p "$modules"
    # shellcheck disable=SC2086
    npm install --prefix "$modules" --no-save --no-package-lock --no-audit --no-fund \
      --loglevel=error $packages >/dev/null
    echo "$packages" >"$modules/installed"
  fi
  node tests/manifests_test.mjs "$modules" build-container/server/capecho-server
fi
python3 tests/container_test.py
