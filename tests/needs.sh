#!/usr/bin/env bash
# What the build and the tests need, checked in one place: `make test` and
# .ci/run call this first.  Every tool or header the tests use is listed
# below with the Debian package that brings it.  Missing ones are installed
# where that can be done (Debian, as root: apt-get update, then install);
# otherwise the script stops at once with one line naming each missing
# package, and exit status 1, so that no test fails or skips later for want
# of a tool.
#
#   bash tests/needs.sh         the build and the tests
#   bash tests/needs.sh fuzz    the same, and the fuzzing build of .ci/run
set -uo pipefail

# package  kind  what (command name or file path, glob allowed)
needs=(
  "cmake            command cmake"
  "g++              command g++"
  "make             command make"
  "libgtest-dev     file    /usr/include/gtest/gtest.h"
  "libcli11-dev     file    /usr/include/CLI/CLI.hpp"
  "graphviz         command dot"
  "weka             file    /usr/share/java/weka.jar"
  "default-jdk-headless command javac"
  "default-jdk-headless command java"
)
if [ "${1:-}" = fuzz ]; then
  needs+=(
    "afl++              command afl-fuzz"
    "libclang-rt-14-dev file    /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.a"
  )
fi

missing_packages() {
  local entry package kind what
  for entry in "${needs[@]}"; do
    read -r package kind what <<<"$entry"
    case $kind in
      command) command -v "$what" >/dev/null 2>&1 || printf '%s\n' "$package" ;;
      file) compgen -G "$what" >/dev/null || printf '%s\n' "$package" ;;
    esac
  done
}

mapfile -t missing < <(missing_packages | awk '!seen[$0]++')
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1 && [ -f /etc/debian_version ]; then
  export DEBIAN_FRONTEND=noninteractive
  if apt-get update -q >&2 && apt-get install -y -q --no-install-recommends "${missing[@]}" >&2; then
    mapfile -t missing < <(missing_packages | awk '!seen[$0]++')
    [ ${#missing[@]} -eq 0 ] && exit 0
  fi
fi
echo "needs.sh: missing packages (install them, e.g. apt-get install ${missing[*]}): ${missing[*]}" >&2
exit 1
