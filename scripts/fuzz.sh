#!/usr/bin/env bash
# Builds the libFuzzer targets with Clang, AddressSanitizer and UndefinedBehaviorSanitizer, and
# runs them over seed corpora made from files written by sox and ffmpeg.
#
#   scripts/fuzz.sh [--seconds N] [--jobs N] [--build-dir DIR] [--build-only | --no-build]
#                   [TARGET ...]
#
# TARGET is one of wav_chunks, recorder_chunks, mxf_probe, progress_lines, settings_json,
# manifest (default: all). Each runs for N seconds (default 600) on --jobs workers. DIR
# defaults to build-fuzz/. Inputs that crash are kept in DIR/findings/TARGET; the corpus grows
# in DIR/corpus/TARGET, so a later run continues where this one stopped; the log of the last
# run is DIR/logs/TARGET. Exit status 77 means Clang or libFuzzer is not installed (the test
# command counts that as skipped); any finding makes the status non-zero.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=600
jobs=1
build_dir="$root/build-fuzz"
build=1
run=1
targets=()
while (($#)); do
  case "$1" in
    --seconds) shift; seconds="$1" ;;
    --jobs) shift; jobs="$1" ;;
    --build-dir) shift; build_dir="$1" ;;
    --build-only) run=0 ;;
    --no-build) build=0 ;;
    -h|--help) sed -n '2,14p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
build_dir="$(realpath -m "$build_dir")"
all_targets=(wav_chunks recorder_chunks mxf_probe progress_lines settings_json manifest)
((${#targets[@]})) || targets=("${all_targets[@]}")

clang_cxx="$(command -v clang++ || true)"
clang_c="$(command -v clang || true)"
if [[ -z "$clang_cxx" || -z "$clang_c" ]]; then
  echo "fuzz.sh: clang++ is not installed; skipping" >&2
  exit 77
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
    "$clang_cxx" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "fuzz.sh: this clang has no libFuzzer; skipping" >&2
  exit 77
fi

if ((build)); then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$clang_c" -DCMAKE_CXX_COMPILER="$clang_cxx" "${launcher[@]}" \
    -DCORVALINE_FUZZ=ON -DCORVALINE_BUILD_APP=OFF -DCORVALINE_BUILD_TESTS=OFF \
    -DCORVALINE_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build_dir" --target fuzz_targets -j"${CORVALINE_FUZZ_BUILD_JOBS:-2}"
fi
# Seed corpora: real files from other tools, made once per tree (when it is built, so that
# targets run in parallel find them complete).
seeds="$build_dir/seeds"
if [[ ! -f "$seeds/.done" ]]; then
  rm -rf "$seeds"
  for target in "${all_targets[@]}"; do mkdir -p "$seeds/$target"; done
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  w="$seeds/wav_chunks"
  if command -v sox >/dev/null; then
    sox -n -r 48000 -b 16 -c 2 "$w/sox-16.wav" synth 0.01 sine 440 2>/dev/null || true
    sox -n -r 44100 -b 24 -c 1 "$w/sox-24.wav" synth 0.01 sine 440 2>/dev/null || true
    sox -n -r 96000 -e floating-point -b 32 -c 4 "$w/sox-float.wav" synth 0.005 sine 440 \
      2>/dev/null || true
  fi
  if command -v ffmpeg >/dev/null; then
    ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@" || true; }
    ff -f lavfi -i "sine=frequency=440:duration=0.01:sample_rate=48000" -ac 2 \
      -rf64 always "$w/ffmpeg-rf64.wav"
    ff -f lavfi -i "sine=frequency=440:duration=0.01:sample_rate=48000" -write_bext 1 \
      -metadata originator=Recorder -metadata time_reference=173059200 "$w/ffmpeg-bext.wav"
    ff -f lavfi -i "sine=frequency=440:duration=0.01:sample_rate=48000" -c:a pcm_s24le \
      -rf64 auto "$w/ffmpeg-rf64-auto.wav"
    # The probe's own JSON for a real MXF, as the import reads it.
    ff -f lavfi -i "sine=frequency=440:duration=0.2:sample_rate=48000" -c:a pcm_s24le -ar 48000 \
      -f mxf "$work/probe.mxf"
    if [[ -s "$work/probe.mxf" ]] && command -v ffprobe >/dev/null; then
      ffprobe -v error -print_format json -show_streams -show_format "$work/probe.mxf" \
        >"$seeds/mxf_probe/ffprobe.json" || true
      # The decoder's progress lines.
      ffmpeg -nostdin -v error -y -progress "$seeds/progress_lines/ffmpeg-progress.txt" \
        -i "$work/probe.mxf" -f null - >/dev/null 2>&1 || true
    fi
  fi
  # The recorder-chunk target takes a kind byte (0 iXML, 1 bext, 2 axml, 3 ds64) and a body.
  r="$seeds/recorder_chunks"
  printf '\x00<?xml version="1.0"?><BWFXML><SCENE>12A</SCENE><TAKE>3</TAKE><TRACK_LIST><TRACK><CHANNEL_INDEX>1</CHANNEL_INDEX><NAME>Boom</NAME></TRACK><TRACK><CHANNEL_INDEX>2</CHANNEL_INDEX><NAME>Lav</NAME></TRACK></TRACK_LIST></BWFXML>' >"$r/ixml"
  for f in "$w"/*.wav; do
    [[ -f "$f" ]] || continue
    # Bodies of the chunks the tools wrote (bext from ffmpeg, ds64 from RF64 files).
    python3 - "$f" "$r" <<'PY' || true
import struct, sys, os
data = open(sys.argv[1], 'rb').read()
out = sys.argv[2]
kinds = {b'iXML': 0, b'bext': 1, b'axml': 2, b'ds64': 3}
pos = 12
while pos + 8 <= len(data):
    cid, size = data[pos:pos+4], struct.unpack('<I', data[pos+4:pos+8])[0]
    if cid in kinds and size < 1 << 20:
        body = data[pos+8:pos+8+size]
        name = os.path.join(out, cid.decode() + '-' + os.path.basename(sys.argv[1]))
        open(name, 'wb').write(bytes([kinds[cid] | (0x80 if data[:4] != b'RIFF' else 0)]) + body)
    if size == 0xFFFFFFFF:
        break
    pos += 8 + size + (size & 1)
PY
  done
  p="$seeds/progress_lines"
  printf '\x10out_time_us=1000000\nprogress=continue\nout_time_us=2000000\r\nprogress=end\n' >"$p/lines"
  printf '\x07{"corvaline_progress": 0.25}\n{"corvaline_progress": 1e400}\nLoading model\n{"corvaline_progress": 1.0}\n' >"$p/engine"
  s="$seeds/settings_json"
  printf '\x00{"outputGain": -2, "limiterEnabled": true, "eqBands": [{"id": 1, "gain": 3}]}' >"$s/doc"
  printf '\x01ceiling=-1.5' >"$s/assign"
  printf '\x01eqBands.2.kind=High-pass' >"$s/assign-band"
  if [[ -x "$root/build/bin/corvaline-cli" ]]; then
    { printf '\x00'; "$root/build/bin/corvaline-cli" presets --json 2>/dev/null || true; } >"$s/presets"
  fi
  m="$seeds/manifest"
  printf 'Sidon-Predictor.pt\t1048576\t%s\tfeature_extractor_cpu.pt\nSidon-Vocoder.pt\t617\t%s\tdecoder_cpu.pt' \
    6b2ee496ca399451fd8c1360c97b1976301f406dfa87c0aa59c4a868ef2fbbf9 \
    a124270a84d3570575e43d66260600526f92b8a80f49eead3e8053e4a6ec407d >"$m/torch"
  printf 'Sidon-Predictor.mlpackage/Data/com.apple.CoreML/model.mlmodel\t209015\t%s\nSidon-Predictor.mlpackage/Manifest.json\t617\t%s\n' \
    6b2ee496ca399451fd8c1360c97b1976301f406dfa87c0aa59c4a868ef2fbbf9 \
    91fda9c1a55d8fc9659a511f28d6f08867cb51c190306143205517782532f4b8 >"$m/folders"
  printf '../escape\t1\t%s\n' 91fda9c1a55d8fc9659a511f28d6f08867cb51c190306143205517782532f4b8 >"$m/parent"
  touch "$seeds/.done"
fi
((run)) || exit 0

status=0
for target in "${targets[@]}"; do
  program="$build_dir/bin/fuzz_$target"
  if [[ ! -x "$program" ]]; then
    echo "fuzz.sh: $program is not built" >&2
    exit 1
  fi
  corpus="$build_dir/corpus/$target"
  findings="$build_dir/findings/$target"
  mkdir -p "$corpus" "$findings" "$seeds/$target"
  logs="$build_dir/logs/$target"
  rm -rf "$logs"
  mkdir -p "$logs"
  log="$logs/main.log"
  echo "fuzz.sh: $target for ${seconds}s" >&2
  set +e
  # With more than one job, libFuzzer runs workers that log to fuzz-N.log in the current folder
  # (and repeats those logs in its own): their logs are the ones counted.
  parallel=()
  ((jobs > 1)) && parallel=(-jobs="$jobs" -workers="$jobs")
  (cd "$logs" &&
    ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
    "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$findings/" "${parallel[@]}" \
      "$corpus" "$seeds/$target" >"$log" 2>&1)
  result=$?
  set -e
  counted=("$log")
  ((jobs > 1)) && counted=("$logs"/fuzz-*.log)
  executions="$(cat "${counted[@]}" | grep -h 'stat::number_of_executed_units' |
    awk '{s += $2} END {print s + 0}')"
  if ((result != 0)); then
    echo "fuzz.sh: $target FOUND A FAULT (status $result); input kept in $findings" >&2
    tail -n 40 "$logs"/*.log >&2
    status=1
  else
    echo "fuzz.sh: $target: $executions executions, no finding" >&2
  fi
  cat "${counted[@]}" | grep -h ': finding: ' | sort | uniq -c | sort -rn | head -n 5 >&2 || true
done
exit $status
