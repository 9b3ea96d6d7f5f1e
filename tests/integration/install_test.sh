#!/bin/sh
# Installs the build into a temporary prefix, checks that only the public
# headers came along and that each compiles on its own against the prefix,
# builds two host programs against it with find_package(kemora) and runs them
# from there.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1; src=$2
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
test -x "$tmp/prefix/bin/kemora"
"$tmp/prefix/bin/kemora" --version

# The installed headers are exactly those of include/ in the sources.
(cd "$src/include" && find kemora -name '*.hpp' | sort) > "$tmp/public"
(cd "$tmp/prefix/include" && find kemora -type f | sort) > "$tmp/installed"
if ! cmp -s "$tmp/public" "$tmp/installed"; then
  echo "installed headers differ from include/:" >&2
  diff "$tmp/public" "$tmp/installed" >&2 || true
  exit 1
fi
# Each one compiles alone, seeing nothing of the sources.
while read -r h; do
  printf '#include <%s>\n' "$h" > "$tmp/one.cpp"
  ${CXX:-c++} -std=c++20 -fsyntax-only -I "$tmp/prefix/include" "$tmp/one.cpp" ||
    { echo "installed header $h does not compile alone" >&2; exit 1; }
done < "$tmp/public"
cmake -S "$src/tests/integration/host" -B "$tmp/host" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/host" >/dev/null
mkdir "$tmp/ws"
LD_LIBRARY_PATH="$tmp/prefix/lib" "$tmp/host/engine_host" "$tmp/ws"
LD_LIBRARY_PATH="$tmp/prefix/lib" "$tmp/host/renderer_host" "$tmp/ws"

# The Python package came along into the interpreter's folder of the prefix,
# and finds the prefix's libraries and share files without help.
site=$(echo "$tmp"/prefix/lib/python3.*/dist-packages)
test -f "$site/kemora/__init__.py"
(cd "$tmp" && env -u PYTHONPATH PYTHONPATH="$site" ${PYTHON:-/usr/bin/python3} - "$tmp/prefix" <<'PY'
import pathlib, sys
import kemora, kemora.paths, kemora.motor, kemora.pipeline.panogen
prefix = pathlib.Path(sys.argv[1])
assert pathlib.Path(kemora.__file__).is_relative_to(prefix), kemora.__file__
assert kemora.paths.get_template_path().is_relative_to(prefix / "share" / "kemora")
assert kemora.paths.get_template_path().is_file()
assert len(kemora.motor.ALL_INGEST_STEPS) == 10
PY
)
