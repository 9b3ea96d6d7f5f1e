#!/bin/sh
# Installs the build into a temporary prefix, builds two host programs against
# it with find_package(kemora) and runs them from there.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1; src=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
test -x "$tmp/prefix/bin/kemora"
"$tmp/prefix/bin/kemora" --version
cmake -S "$src/tests/integration/host" -B "$tmp/host" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/host" >/dev/null
mkdir "$tmp/ws"
LD_LIBRARY_PATH="$tmp/prefix/lib" "$tmp/host/engine_host" "$tmp/ws"
LD_LIBRARY_PATH="$tmp/prefix/lib" "$tmp/host/renderer_host"
