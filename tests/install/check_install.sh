#!/usr/bin/env bash
# Installs isort into a fresh prefix and builds the C example against it the
# two ways a host would: with pkg-config, and with find_package(isort).
#   check_install.sh <build dir> <source dir>
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for file in include/isort/sortfile.h include/isort/FileSort.h include/isort/types.h \
            include/isort/vorn/Errors.h \
            lib/pkgconfig/isort.pc lib/cmake/isort/isortConfig.cmake; do
  [ -f "$prefix/$file" ] || { echo "missing $file"; exit 1; }
done
# The outside components' declarations stay out of the installed headers,
# but for the error record that FileSort lets through.
if grep -rq 'mtxp/\|Streams.h\|Collator.h' "$prefix/include/isort"; then
  echo "installed headers include the platform interfaces"; exit 1
fi
# The engine library does not depend on our platform library: a host may
# bring its own.
if readelf -d "$prefix"/lib/libisort.so.0 | grep -q 'NEEDED.*libisort_platform'; then
  echo "libisort is linked against libisort_platform"; exit 1
fi
readelf -d "$prefix"/lib/libisort.so | grep -q 'SONAME.*libisort.so.0' || { echo "soname"; exit 1; }

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc -std=c99 -Wall -Werror "$source/examples/sort_rows.c" $(pkg-config --cflags --libs isort) \
   -Wl,-rpath,"$prefix/lib" -o "$work/sort_rows"
"$work/sort_rows"

cmake -S "$source/examples" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_RPATH="$prefix/lib" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/sort_rows"
echo "install: ok"
