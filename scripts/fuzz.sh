#!/usr/bin/env bash
# Builds the libFuzzer drivers (clang, ASan + UBSan + coverage) and fuzzes the
# decoder, the encoder, the chunk-frame decoder, the sequence coder, the version-2 decoder, the HDF5 filter
# and the version-2 encoder.
#
#   scripts/fuzz.sh short   # a minute per driver on the processor's best tier: the CI run
#   scripts/fuzz.sh long    # ten minutes per driver on each tier (avx, sse, portable)
#   FUZZ_SECONDS=600 scripts/fuzz.sh short   # any other duration per driver and tier
#
# Corpora grow in build-fuzz/corpus/<driver>/ and survive between runs. A
# finding stops the script with a non-zero status and leaves the input in
# build-fuzz/artifacts/; copy it to tests/data/fuzz-regressions/<driver>/ so that
# the C++ suite replays it from then on.
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-short}"
case "$mode" in
  short) seconds="${FUZZ_SECONDS:-60}" tiers=(avx) ;;
  long) seconds="${FUZZ_SECONDS:-600}" tiers=(avx sse portable) ;;
  *) echo "usage: $0 short|long" >&2; exit 2 ;;
esac

# clang 14 cannot compile libstdc++ 12's <expected> (it lacks conditionally
# trivial special members); clang 19 from Debian 12 can, and ships libFuzzer.
clang_version=19
bash scripts/install-deps.sh
packages=("clang-$clang_version" "libclang-rt-$clang_version-dev")
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build-fuzz
CXX="clang++-$clang_version" cmake -S . -B "$build" -DQUORVEL_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

mkdir -p "$build/corpus/decompress_fuzz" "$build/corpus/compress_fuzz" "$build/corpus/frame_fuzz" \
  "$build/corpus/sequence_fuzz" "$build/corpus/v2_decode_fuzz" "$build/corpus/hdf5_filter_fuzz" "$build/corpus/v2_encode_fuzz" \
  "$build/artifacts"
"$build/tests/fuzz/make_fuzz_seeds" "$build/corpus/decompress_fuzz" "$build/corpus/compress_fuzz" \
  "$build/corpus/frame_fuzz" "$build/corpus/sequence_fuzz" "$build/corpus/v2_decode_fuzz" "$build/corpus/hdf5_filter_fuzz" \
  "$build/corpus/v2_encode_fuzz"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
# Symbolised stack traces in findings: clang 19's symbolizer if installed, else any.
symbolizer="$(command -v llvm-symbolizer-$clang_version || ls /usr/lib/llvm-*/bin/llvm-symbolizer 2>/dev/null | tail -n 1 || true)"
[ -n "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# max_len: the decoder gets containers up to 8 KiB (eight-level containers of
# 2560 samples fit); the encoder 2 option bytes and up to 4096 samples; the
# frame decoder frames up to 8 KiB (it decodes at most 4 Mi samples, 32 MiB); the
# sequence coder blocks of up to 65536 codes (256 KiB out) or 4096 codes to encode;
# the version-2 decoder containers up to 8 KiB (decoded whole up to 4 Mi samples); the
# HDF5 filter 32 words of client data and a chunk's frame of up to 8 KiB; the
# version-2 encoder 9 option bytes and up to 4096 float32 (2048 float64) samples.
# malloc_limit_mb: no single allocation may exceed 64 MiB. An 8 KiB container
# inflates to at most about 8.4 MB, so anything larger means a buffer was sized
# from a header claim instead of from what the payload delivers.
run() {
  local driver="$1" max_len="$2"
  shift 2
  local extra=()
  [ -d "tests/data/fuzz-regressions/$driver" ] && extra+=("tests/data/fuzz-regressions/$driver")
  echo "== $driver, tier $QUORVEL_FUZZ_TIER: ${seconds}s"
  "$build/tests/fuzz/$driver" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -malloc_limit_mb=64 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$driver-" "$@" "$build/corpus/$driver" "${extra[@]}"
}

# The executors of every tier meet the same inputs (tests/fuzz/tier_cap.cpp);
# a tier the processor lacks falls back to the next one down.
for tier in "${tiers[@]}"; do
  export QUORVEL_FUZZ_TIER="$tier"
  run decompress_fuzz 8192 -dict=tests/fuzz/container.dict
  run compress_fuzz 16386
  run frame_fuzz 8192 -dict=tests/fuzz/container.dict
  run sequence_fuzz 16387
  run v2_decode_fuzz 8192
  run hdf5_filter_fuzz 8320
  run v2_encode_fuzz 16393
done
