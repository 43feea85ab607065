#!/bin/sh
# Compiles every header under src/ with clang++ (syntax only, all in one translation unit, which
# keeps the check to a few seconds), so that code which only GCC accepts is caught before a clang
# build or a clang-based tool meets it. Exits 77 (skipped) where clang++ is not installed.
set -u
src=$1
clang=$(command -v clang++-14 || command -v clang++) || { echo "clang++ not installed"; exit 77; }
unit=$(mktemp --suffix=.cpp)
trap 'rm -f "$unit"' EXIT
(cd "$src" && find . -name '*.h' | sed 's|^\./||' | sort) | sed 's|.*|#include "&"|' > "$unit"
# Qt as the control app builds it: position-independent, and without its keyword macros (its
# "emit" would clash with kl::Signal::emit).
# shellcheck disable=SC2046
"$clang" -std=c++20 -fsyntax-only -fPIC -DQT_NO_KEYWORDS -Wall -Wextra -Wno-unused-parameter -I"$src" \
  $(pkg-config --cflags libxml-2.0 libcurl libcrypto++ libplist-2.0 Qt6Widgets atspi-2 2>/dev/null) "$unit" || exit 1
echo "clang++ compiles all $(wc -l < "$unit") headers"
