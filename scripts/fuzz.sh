#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time on seeds
# from the corpus. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET|ci] [TARGET...]
# "ci" runs a fixed number of inputs from a fixed seed, at most two and a half minutes a target.
# A crash leaves its input in build-fuzz/findings/<target>/; keep it under fuzz/regressions/<body>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(open descriptor engine_data pack_bits round_trip effects adjustment paths placed patterns tiff)
corpus=${ZUZODORIV_CORPUS:-../shared/corpus}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZUZODORIV_FUZZ=ON -DZUZODORIV_SANITIZE=ON -DZUZODORIV_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$(nproc)" $(printf 'fuzz_%s ' "${targets[@]}")

seed_dir() {
    local t=$1 d=build-fuzz/seeds/$1
    mkdir -p "$d"
    [ -n "$(ls -A "$d" 2>/dev/null)" ] && { echo "$d"; return; }
    case $t in
        open|round_trip)
            # Small documents only: the fuzzer mutates faster on them. A trailing byte chooses options:
            # every other seed has the save decode the stored layer pixels itself, every third moves the layers.
            find "$corpus" -type f \( -iname '*.psd' -o -iname '*.psb' \) -size -200k | head -n 200 |
                while read -r f; do n=$(basename "$f"); k=$((${k:-0} + 1)); opt='\x03'; [ $((k % 2)) = 0 ] && opt='\x07'; [ $((k % 3)) = 0 ] && opt='\x13'
                    { cat "$f"; printf "$opt"; } > "$d/$(echo "$f" | md5sum | cut -c1-12)-$n"; done
            # Deep documents (their layers mostly ZIP) rendered with ZIP layers inflated by bands.
            find "$corpus" -type f \( -iname '*16*.ps[db]' -o -iname '*32*.ps[db]' \) -size -200k | head -n 20 |
                while read -r f; do { cat "$f"; printf '\x1b'; } > "$d/zip-$(echo "$f" | md5sum | cut -c1-12)-$(basename "$f")"; done
            # The documents with layer effects, adjustments or fills, so that their readers are reached.
            grep -l '"lrFX"\|"lfx2"\|"lfxs"\|"lmfx"\|"levl"\|"curv"\|"brit"\|"hue2"\|"selc"\|"phfl"\|"grdm"\|"clrL"\|"SoCo"\|"GdFl"\|"PtFl"\|"blwh"\|"vibA"\|"vmsk"\|"vsms"\|"vstk"\|"vogk"\|"TySh"\|"Txt2"\|"PlLd"\|"SoLd"\|"lnk2"\|"lnk3"\|"lnkD"' -r "$corpus" --include='*.ref.json' | sed 's/\.ref\.json$//' |
                while read -r f; do [ -f "$f" ] && [ "$(stat -c %s "$f")" -lt 2000000 ] || continue
                    { cat "$f"; printf '\x07'; } > "$d/fx-$(echo "$f" | md5sum | cut -c1-12)-$(basename "$f")"; done ;;
        tiff)
            find "$corpus/tiff" -type f -name '*.tif' -exec cp {} "$d/" \; ;;
        effects|adjustment|paths|placed|patterns)
            # Every effects, adjustment, fill, vector mask, placed-layer or patterns block body of the corpus, behind the bytes that tell
            # the fuzz body what it is.
            python3 scripts/seed-blocks.py "$t" "$corpus" "$d" ;;
        descriptor)
            find "$corpus" -path '*tests/descriptors/*' -type f -name '*.dat' -exec cp {} "$d/" \; ;;
        engine_data)
            find "$corpus" \( -path '*tests/engine_data/*' -o -name 'engineData*' \) -type f -exec cp {} "$d/" \;
            # The engine data of every type layer of the corpus.
            python3 scripts/seed-blocks.py engine_data "$corpus" "$d" ;;
        pack_bits)
            printf '\x00\x10\xfd\xaa\x02\x01\x02\x03\x80' > "$d/seed" ;;
    esac
    echo "$d"
}

# Coverage tracing makes pixel loops slow: a 1800 x 1200 document's load, save and reload takes
# about 3 s on an idle core, so the per-input timeout leaves room for a loaded machine.
status=0
for t in "${targets[@]}"; do
    seeds=$(seed_dir "$t")
    findings=build-fuzz/findings/$t
    mkdir -p "$findings" "build-fuzz/work/$t"
    echo "== fuzz_$t (${seconds})"
    if [ "$seconds" != ci ] && [ "$(du -sm "build-fuzz/work/$t" | cut -f1)" -gt 512 ]; then
        # libFuzzer holds its whole corpus in memory: an unbounded work corpus would meet the RSS
        # limit on its own. Keep only the inputs that add coverage.
        echo "merging build-fuzz/work/$t ($(du -sh "build-fuzz/work/$t" | cut -f1))"
        rm -rf "build-fuzz/work/$t.merged" && mkdir -p "build-fuzz/work/$t.merged"
        if ASAN_OPTIONS=detect_leaks=0 ./build-fuzz/fuzz/fuzz_"$t" -merge=1 -timeout=30 -rss_limit_mb=2048 \
            "build-fuzz/work/$t.merged" "build-fuzz/work/$t" >"build-fuzz/logs/$t.merge.log" 2>&1; then
            rm -rf "build-fuzz/work/$t" && mv "build-fuzz/work/$t.merged" "build-fuzz/work/$t"
            echo "kept $(ls "build-fuzz/work/$t" | wc -l) inputs ($(du -sh "build-fuzz/work/$t" | cut -f1))"
        else
            echo "the merge failed (build-fuzz/logs/$t.merge.log): the work corpus stays as it was"
            rm -rf "build-fuzz/work/$t.merged"
        fi
    fi
    if [ "$seconds" = ci ]; then
        rm -rf "build-fuzz/work/$t" && mkdir -p "build-fuzz/work/$t"
        # A fixed seed and input count, capped in time so a slow machine still finishes.
        case $t in open) budget=(-runs=40000) ;; round_trip) budget=(-runs=6000) ;; effects|adjustment|paths|placed|patterns) budget=(-runs=100000) ;; *) budget=(-runs=400000) ;; esac
        budget+=(-seed=1 -max_total_time=150)
    else
        budget=(-max_total_time="$seconds")
    fi
    # The whole log is kept; shown are the last coverage line and the final statistics, or the
    # end of the log when the run failed.
    log=build-fuzz/logs/$t.log
    mkdir -p build-fuzz/logs
    # Inputs an earlier run left behind are not this run's failures.
    started=build-fuzz/logs/$t.started
    touch "$started"
    if ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=scripts/lsan.supp:print_suppressions=0 ./build-fuzz/fuzz/fuzz_"$t" "build-fuzz/work/$t" "$seeds" \
        -dict=fuzz/psd.dict "${budget[@]}" -timeout=30 -rss_limit_mb=2048 \
        -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
        grep -a 'cov:' "$log" | tail -n 1 || true
        grep -a '^stat::\|^Done' "$log" || true
    else
        tail -n 60 "$log"
        status=1
    fi
    if [ -n "$(find "$findings" -type f -newer "$started" | head -n 1)" ]; then
        echo "fuzz_$t found inputs that fail: $findings"
        status=1
    fi
    earlier=$(find "$findings" -type f ! -newer "$started" | wc -l)
    [ "$earlier" -eq 0 ] || echo "($earlier inputs from earlier runs are still in $findings)"
done
if [ "$status" -ne 0 ]; then
    echo "fuzzing found failing inputs (see above): fix them and keep each under fuzz/regressions/<body>/"
fi
exit $status
