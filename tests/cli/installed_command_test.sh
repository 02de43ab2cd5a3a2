#!/usr/bin/env bash
# Installs telvix into a scratch root and runs it from there, as on a machine without the
# build tree: with `cmake --install --prefix` ("install"), or by building the Debian package
# and unpacking it with dpkg -x ("package"). The Python package, when built, is imported from
# there by the system's python3 and must sit where that python3 looks for the prefix it stands
# for (/usr/local for an install, /usr for the package).
# Usage: installed_command_test.sh install|package BUILD_DIR SAMPLE_IMAGE
set -euo pipefail
mode=$1
build=$2
sample=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

case "$mode" in
    install)
        cmake --install "$build" --prefix "$scratch/root" >/dev/null
        prefix=$scratch/root
        stands_for=/usr/local
        ;;
    package)
        (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null)
        deb=$(ls "$scratch"/deb/telvix_*.deb)
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "Depends: $depends"
        for library in libopenimageio libtbb; do
            grep -q "$library" <<<"$depends" || { echo "no dependency on $library"; exit 1; }
        done
        if [ -n "$(find "$build/python" -name '_telvix*.so' 2>/dev/null)" ]; then
            grep -q "python3-numpy" <<<"$depends" || { echo "no dependency on numpy"; exit 1; }
        fi
        dpkg -x "$deb" "$scratch/root"
        prefix=$scratch/root/usr
        stands_for=/usr
        ;;
    *)
        echo "unknown mode $mode" >&2
        exit 2
        ;;
esac

test -x "$prefix/bin/telvix"
test -f "$prefix/lib/telvix/Telvix.so"
# The OpenFX bundle, where Linux hosts look when the prefix is /usr.
test -x "$prefix/OFX/Plugins/Telvix.ofx.bundle/Contents/Linux-x86-64/Telvix.ofx"
test -f "$prefix/OFX/Plugins/Telvix.ofx.bundle/Contents/Info.plist"
version=$(cd "$scratch" && "$prefix/bin/telvix" --version)
echo "$version"
[[ "$version" == telvix\ * ]]
"$prefix/bin/telvix" smooth "$sample" "$scratch/out.png" --verbose
"$prefix/bin/telvix" about | grep -q "Telvix v"
test -s "$scratch/out.png"

# The Python package: in a folder of the system python3's own path (for the prefix the
# scratch root stands for), finding the installed plug-in and smoothing with it.
package=$(find "$prefix/lib" -path '*-packages/telvix/__init__.py' -printf '%h\n')
if [ -n "$package" ]; then
    site=$(dirname "$package")
    /usr/bin/python3 -c 'import sys; sys.exit(sys.argv[1] not in sys.path)' \
        "$stands_for${site#"$prefix"}" || { echo "python3 does not look in $site"; exit 1; }
    (cd "$scratch" && PYTHONPATH=$site /usr/bin/python3 - "$sample" "$scratch/py.png" "$prefix" <<'EOF'
import os, sys, telvix
assert telvix.plugin_path() == os.path.join(sys.argv[3], "lib/telvix/Telvix.so"), telvix.plugin_path()
assert telvix.smooth_file(sys.argv[1], sys.argv[2]).ok
print("python", telvix.__version__, telvix.__file__)
EOF
    )
    cmp "$scratch/out.png" "$scratch/py.png"
fi
