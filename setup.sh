#!/usr/bin/env bash
# Sets up a Debian 12 machine for Mellora, builds it, and runs one job:
#   ./setup.sh demo   build, then render the built-in demo piece to build/mellora-demo.wav
#   ./setup.sh test   build, then run the whole test suite (plain, ASan+UBSan, TSan)
set -euo pipefail
cd "$(dirname "$0")"
job=${1:-demo}

# Every Debian package the project needs; only the missing ones are installed.
packages=(
  cmake ninja-build g++ pkg-config
  clang libclang-rt-14-dev            # sanitizer builds and libFuzzer targets
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev libexpat1-dev zlib1g-dev
  libsndfile1-dev                     # the renderer's audio files
  sox                                 # tests read written audio files back with an independent reader
  dpf-plugins-vst                     # VST instruments we did not write: the tests play them through our host
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
configure_and_build() { # dir, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo

case "$job" in
  demo)
    ./build/tools/mellora-render --demo build/mellora-demo.wav
    echo "Listen to: $(pwd)/build/mellora-demo.wav"
    ;;
  test)
    ctest --test-dir build --output-on-failure -j "$jobs"
    echo "== AddressSanitizer + UndefinedBehaviorSanitizer (with fuzz targets)"
    configure_and_build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DMELLORA_SANITIZE=ON -DMELLORA_FUZZ=ON -DMELLORA_BENCH=OFF
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
    echo "== ThreadSanitizer (threaded tests)"
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DMELLORA_TSAN=ON -DMELLORA_BENCH=OFF >/dev/null
    cmake --build build-tsan -j "$jobs" --target mellora_thread_tests
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
    ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
