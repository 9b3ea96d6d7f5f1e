#!/bin/sh
# Builds the Debian package of the build, checks the dependencies it
# declares, installs it with dpkg into a throwaway root and uses the program
# and the Python package from there.
# usage: deb_test.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
(cd "$build" && cpack -G DEB -B "$tmp/out" >"$tmp/cpack.log" 2>&1) || { cat "$tmp/cpack.log" >&2; exit 1; }
deb=$(echo "$tmp"/out/kemora_*.deb)
test -f "$deb"

depends=$(dpkg-deb -f "$deb" Depends)
for d in python3 python3-nbclient python3-nbformat python3-ipykernel git libssl3 libcsv3 libstdc++6; do
  case ", $depends," in
    *", $d "*|*", $d,"*) ;;
    *) echo "the package does not declare $d: $depends" >&2; exit 1 ;;
  esac
done

root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The root holds none of the dependencies, which the machine itself has.
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" >"$tmp/dpkg.log" 2>&1 ||
  { cat "$tmp/dpkg.log" >&2; exit 1; }

for f in usr/bin/kemora usr/lib/libkemora_motor.so usr/lib/libkemora_panogen.so usr/lib/libkemora_services.so \
         usr/include/kemora/motor/motor.hpp usr/include/kemora/pipeline/panogen/render.hpp \
         usr/lib/cmake/kemora/kemoraConfig.cmake usr/lib/python3/dist-packages/kemora/__init__.py \
         usr/lib/python3/dist-packages/kemora/pipeline/panogen.py \
         usr/share/kemora/templates/kmr_dashboard.html.j2 usr/share/kemora/runner/kemora_nb_runner.py; do
  test -e "$root/$f" || { echo "the package lacks /$f" >&2; exit 1; }
done
ls "$root"/usr/lib/python3/dist-packages/kemora/_motor.*.so >/dev/null
"$root/usr/bin/kemora" --version

# The package's Python modules load the package's own libraries and files.
(cd "$tmp" && env -u PYTHONPATH PYTHONPATH="$root/usr/lib/python3/dist-packages" ${PYTHON:-/usr/bin/python3} - "$root" <<'PY'
import pathlib, sys
import kemora, kemora.paths, kemora.motor, kemora.pipeline.panogen
root = pathlib.Path(sys.argv[1])
assert kemora.paths.get_share_dir().resolve() == (root / "usr/share/kemora").resolve(), kemora.paths.get_share_dir()
assert kemora.paths.get_template_path().is_file()
assert kemora.motor.ALL_INGEST_STEPS
print("kemora", kemora.__version__, "from", pathlib.Path(kemora.__file__).parent)
PY
)
