#!/usr/bin/env bash
# Installs telvix into a scratch root and runs it from there, as on a machine without the
# build tree: with `cmake --install --prefix` ("install"), or by building the Debian package
# and unpacking it with dpkg -x ("package").
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
        ;;
    package)
        (cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/deb" >/dev/null)
        deb=$(ls "$scratch"/deb/telvix_*.deb)
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "Depends: $depends"
        for library in libopenimageio libtbb; do
            grep -q "$library" <<<"$depends" || { echo "no dependency on $library"; exit 1; }
        done
        dpkg -x "$deb" "$scratch/root"
        prefix=$scratch/root/usr
        ;;
    *)
        echo "unknown mode $mode" >&2
        exit 2
        ;;
esac

test -x "$prefix/bin/telvix"
test -f "$prefix/lib/telvix/Telvix.so"
version=$(cd "$scratch" && "$prefix/bin/telvix" --version)
echo "$version"
[[ "$version" == telvix\ * ]]
"$prefix/bin/telvix" smooth "$sample" "$scratch/out.png" --verbose
"$prefix/bin/telvix" about | grep -q "Telvix v"
test -s "$scratch/out.png"
