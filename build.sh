#!/usr/bin/env bash
# Builds the four programs into build/, installing the Debian packages the build needs when they
# are missing.
#   ./build.sh          build (Release)
#   ./build.sh test     build, run the tests, then build and run them again under
#                       AddressSanitizer and UndefinedBehaviorSanitizer (build-sanitize/)
#   ./build.sh bench    build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake make libblas-dev libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  as_root="apt-get update && apt-get install -y ${missing[*]}"
  sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "$0: missing packages: ${missing[*]}; install them as root with: $as_root" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "installing ${missing[*]} with apt-get (a few minutes on a fresh machine)"
  # sudo clears the environment: DEBIAN_FRONTEND goes through env.
  if ! { "${sudo[@]}" apt-get update -qq &&
         "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
           apt-get install -y -qq "${missing[@]}" >/dev/null; }; then
    echo "$0: could not install ${missing[*]}; install them as root with: $as_root" >&2
    exit 1
  fi
fi

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs" >/dev/null

case "${1:-}" in
  test)
    ctest --test-dir build --output-on-failure -j"$jobs"
    cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSEM_SANITIZE=ON >/dev/null
    cmake --build build-sanitize -j"$jobs" >/dev/null
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
    ;;
  bench)
    build/bench/sem_bench
    ;;
  "") ;;
  *) echo "usage: ./build.sh [test|bench]" >&2; exit 2 ;;
esac
