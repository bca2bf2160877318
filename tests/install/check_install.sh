#!/usr/bin/env bash
# Installs isort into a fresh prefix and runs it there as a user would: the
# command with nothing set in the environment, and the C example built the two
# ways a host would, with pkg-config and with find_package(isort). Then moves
# the prefix to a path with a space and runs the command again.
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

# The command finds its libraries without LD_LIBRARY_PATH or ldconfig.
demo() {
  if ! env -i "$1/bin/isort" demo --rows 100000 >"$work/demo.out" 2>&1 ||
     ! grep -q 'check  *passed' "$work/demo.out"; then
    echo "isort in $1:"; cat "$work/demo.out"; exit 1
  fi
}
demo "$prefix"

# A host's own program needs the libraries' directory as its rpath (or the
# prefix known to ldconfig), as the README says.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
cc -std=c99 -Wall -Werror "$source/examples/sort_rows.c" $(pkg-config --cflags --libs isort) \
   -Wl,-rpath,"$(pkg-config --variable=libdir isort)" -o "$work/sort_rows"
env -i "$work/sort_rows"

# CMake gives the build tree's programs the rpath of the libraries they link.
cmake -S "$source/examples" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
env -i "$work/consumer/sort_rows"

moved="$work/moved prefix"
mv "$prefix" "$moved"
demo "$moved"
echo "install: ok"
