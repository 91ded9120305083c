#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs the built library into a scratch prefix and builds a C host
# against it twice: through find_package and through pkg-config.
set -eu
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work="$build/tests/consumer"
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake/consumer"
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
flags=$(PKG_CONFIG_PATH="$libdir" pkg-config --define-variable=prefix="$work/prefix" --cflags --libs videomerge)
cc "$src/main.c" -o "$work/pc_consumer" $flags
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/pc_consumer"
