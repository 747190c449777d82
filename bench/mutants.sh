#!/usr/bin/env bash
# Mutation run: applies each deliberate fault below, one at a time, to a copy of this tree, builds
# it incrementally in one build folder and runs the unit tests (and the corpus runner when the unit
# tests miss it). A mutant is caught when a test fails, a build failure is counted apart.
#
#   bench/mutants.sh [--check] [--full] [--base REV] [ID...]
#     --check   only verify that every edit applies to the current sources, build nothing
#     --full    run every unit test and list the failing ones (default: stop at the first failure)
#     --base    test the tree of commit REV instead of the working tree
#   MUTANT_DIR  copy and build folder (default /tmp/zuzodoriv-mutants)
#   GTEST_SKIP  gtest negative filter (default: the external-reader tests, which only repeat the
#               round trips through other programs and take minutes)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANT_DIR:-/tmp/zuzodoriv-mutants}
skip=${GTEST_SKIP:-ExternalReaders*}
export ZUZODORIV_CORPUS=${ZUZODORIV_CORPUS:-$(cd "$root/../shared/corpus" && pwd)}
check=0 full=0 base=
picked=()
while [ $# -gt 0 ]; do
    case $1 in
        --check) check=1 ;;
        --full) full=1 ;;
        --base) base=$2; shift ;;
        *) picked+=("$1") ;;
    esac
    shift
done

ids=() files=() olds=() news=()
# mutant ID FILE OLD NEW: OLD must occur exactly once in FILE.
mutant() { ids+=("$1"); files+=("$2"); olds+=("$3"); news+=("$4"); }

C=psd/layer/PSDChannelCodec.cpp
E=psd/layer/PSDChannelEncoder.cpp
mutant packbits-noop-run $C '} else if (h != -128) {' '} else {'
mutant packbits-noop-advance $C 'advance = 1;' 'advance = 2;'
mutant packbits-literal-bound $C 'if (count > size_t(end - src) || count > n - out) return false;' \
    'if (count > size_t(end - src) + 1 || count > n - out) return false;'
mutant packbits-run-length $C 'size_t count = h >= 0 ? size_t(h + 1) : size_t(1 - h);' \
    'size_t count = h >= 0 ? size_t(h + 1) : size_t(-h);'
mutant zip-predict16-mask host/kernel/Zip.cpp 'unsigned v = (prev + (row[2 * i] << 8 | row[2 * i + 1])) & 0xFFFF;' \
    'unsigned v = (prev + (row[2 * i] << 8 | row[2 * i + 1])) & 0xFF;'
mutant zip-inflated-bound $C 'if (total > Kernel::ZlibMaxInflatedSize(job.size)) {' \
    'if (false && total > Kernel::ZlibMaxInflatedSize(job.size)) {'
mutant unpredict8-carry host/kernel/Zip.cpp 'if (i) prev = row[i - 1];' 'if (i) prev = 0;'
mutant unpredict16-carry host/kernel/Zip.cpp 'if (i) prev = unsigned(_mm_extract_epi16(carry, 0));' \
    'if (i) prev = 0;'
mutant packer-run-129 $E 'size_t runLen = std::min<size_t>(ones + 1, 128);' \
    'size_t runLen = std::min<size_t>(ones + 1, 129);'
mutant rle-raw-fallback $E 'if (rleOk && pos < raw) {' 'if (rleOk && pos <= raw) {'
mutant band-raw-fallback $E 'if (!fits || packed >= raw) continue;' 'if (!fits || packed > raw) continue;'
mutant rle-counts-psb $E 'PutBE32(rle.data() + size_t(y) * 4, uint32_t(n));' \
    'PutBE32(rle.data() + size_t(y) * 4, uint32_t(n) + 1);'
mutant row-count-limit psd/file/PSDSave.cpp 'if (n > 0xFFFF) return false;' ';'
mutant psb-channel-length psd/layer/PSDLayer.cpp 'if (!c.Parse(stream, pd.m_isPSB, pd)) return false;' \
    'if (!c.Parse(stream, false, pd)) return false;'
mutant psb-layer-wide-keys psd/layer/PSDLayerSave.cpp 'bool wide = sd.m_isPSB && IsWideLayerKey(b.key);' \
    'bool wide = sd.m_isPSB && IsWideDocumentKey(b.key);'
mutant doc-block-padding psd/file/PSDLayerSection.cpp \
    'uint64_t rounded = SaturatingAdd(length, 3) & ~uint64_t(3);' \
    'uint64_t rounded = SaturatingAdd(length, 1) & ~uint64_t(1);'
mutant resource-read-padding psd/file/PSDImageResources.cpp \
    'uint64_t end = dataStart + size + (size & 1);' 'uint64_t end = dataStart + size;'
mutant resource-write-padding psd/io/PSDResourceIO.cpp \
    'return (size & 1) == 0 || WriteZeros(stream, 1);' 'return (size & 1) == 0 || WriteZeros(stream, 0);'
mutant resource-split-name psd/file/PSDImageResources.cpp \
    'size_t name = (size_t(h[6]) + 2) & ~size_t(1);' 'size_t name = (size_t(h[6]) + 1) & ~size_t(1);'
mutant block-length-order psd/io/PSDTaggedBlock.cpp \
    'uint32_t(p[2]) << 8 | p[3]' 'uint32_t(p[3]) << 8 | p[2]'
mutant layer-flags-visible psd/layer/PSDLayerSave.cpp \
    'uint8_t kept = m_stream ? uint8_t(m_flags & ~0x03) : uint8_t(0x80);' \
    'uint8_t kept = m_stream ? uint8_t(m_flags & ~0x01) : uint8_t(0x80);'
mutant layer-flags-group psd/layer/PSDLayerSave.cpp \
    '((m_adjustment || m_sectionType != kNormal) ? 0x10 : 0));' '(m_adjustment ? 0x10 : 0));'
mutant merge-drop-stale psd/io/PSDTaggedBlock.h '} else if (!inBaseline(key, nullptr)) {' '} else {'
mutant merge-unchanged psd/io/PSDTaggedBlock.h 'bool unchanged = !fromModel && inBaseline(key, &model[next].hash);' \
    'bool unchanged = !fromModel && false;'
mutant descriptor-glbo psd/descriptor/Descriptor.cpp '{Key("GlbO"), MakeItem<DescriptorItemDescriptor>},' \
    '{Key("GlbO"), MakeItem<DescriptorItemClass>},'
mutant descriptor-unit-inch psd/descriptor/Descriptor.cpp \
    'uint32_t code = (m_unit >= Angle && m_unit <= Inch) ? kUnits[m_unit].code : Key("#Nne");' \
    'uint32_t code = (m_unit >= Angle && m_unit < Inch) ? kUnits[m_unit].code : Key("#Nne");'
mutant descriptor-key-code psd/descriptor/Descriptor.cpp 'if (length == 0) return ReadCode(stream, m_code, pd);' \
    'if (length == 4) return ReadCode(stream, m_code, pd);'
mutant header-version psd/file/PSDFile.cpp 'if (version != 1 && version != 2) {' 'if (version == 0) {'
mutant copy-stored-bound psd/io/PSDTaggedBlock.cpp \
    'if (size != Kernel::kUnknownSize && (position > size || length > size - position)) return false;' \
    'if (size != Kernel::kUnknownSize && position > size) return false;'

# Replaces OLD by NEW in FILE (exactly one occurrence) and keeps the original in FILE.orig.
apply() {
    python3 - "$1" "$2" "$3" <<'EOF'
import sys, shutil
path, old, new = sys.argv[1:]
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: edit matches {text.count(old)} times")
shutil.copy2(path, path + ".orig")
open(path, "w").write(text.replace(old, new))
EOF
}

want() {
    [ ${#picked[@]} -eq 0 ] && return 0
    local p
    for p in "${picked[@]}"; do [ "$p" = "$1" ] && return 0; done
    return 1
}

if [ $check = 1 ]; then
    bad=0
    for i in "${!ids[@]}"; do
        n=$(python3 -c 'import sys; print(open(sys.argv[1]).read().count(sys.argv[2]))' \
            "$root/${files[$i]}" "${olds[$i]}")
        [ "$n" = 1 ] || { echo "${ids[$i]}: matches $n times in ${files[$i]}"; bad=1; }
    done
    echo "${#ids[@]} mutants, every edit applies: $([ $bad = 0 ] && echo yes || echo no)"
    exit $bad
fi

# The copy: tracked and new files of this tree, as they are now (uncommitted test edits included).
. "$root/bench/copy-tree.sh"
copy_tree "$root" "$base" "$work"
build=$work/build
cmake -S "$work/src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
targets=(zuzodoriv_tests zuzodoriv_corpus zuzodoriv_cli)
ninja -C "$build" -j2 "${targets[@]}" >"$work/build.log" 2>&1 || { echo "baseline build failed"; exit 1; }

unit() {  # runs the unit tests; prints failing test names with --full
    local args=(--gtest_filter="-$skip" --gtest_brief=1)
    [ $full = 0 ] && args+=(--gtest_fail_fast)
    (cd "$build/tests" && timeout 900 ./zuzodoriv_tests "${args[@]}") >"$work/unit.log" 2>&1
}
corpus() { (cd "$build/tests" && timeout 900 ./zuzodoriv_corpus) >"$work/corpus.log" 2>&1; }

unit || { echo "baseline unit tests fail: see $work/unit.log"; exit 1; }
corpus || { echo "baseline corpus run fails: see $work/corpus.log"; exit 1; }

caught=0 missed=0 broken=0 total=0
missedIds=()
for i in "${!ids[@]}"; do
    id=${ids[$i]} file=$work/src/${files[$i]}
    want "$id" || continue
    total=$((total + 1))
    if ! apply "$file" "${olds[$i]}" "${news[$i]}"; then
        echo "NOT APPLIED  $id"
        broken=$((broken + 1))
        continue
    fi
    if ! ninja -C "$build" -j2 "${targets[@]}" >"$work/build.log" 2>&1; then
        result="build-failed"
        broken=$((broken + 1))
    elif ! unit; then
        result="caught (unit)"
        caught=$((caught + 1))
        if [ $full = 1 ]; then
            result+=": $(grep -o '^\[  FAILED  \] [A-Za-z0-9_/.]*' "$work/unit.log" | sort -u |
                sed 's/^\[  FAILED  \] //' | tr '\n' ' ')"
        fi
    elif ! corpus; then
        result="caught (corpus)"
        caught=$((caught + 1))
    else
        result="MISSED"
        missed=$((missed + 1))
        missedIds+=("$id")
    fi
    # The restored file is touched: with its old time ninja would keep the mutant's objects.
    mv "$file.orig" "$file" && touch "$file"
    printf '%-24s %s\n' "$id" "$result"
done
# Leave the copy built as it is unmutated, so the next run starts from cached objects.
ninja -C "$build" -j2 "${targets[@]}" >"$work/build.log" 2>&1
echo "total $total: caught $caught, missed $missed, build failures or not applied $broken" \
    "${missedIds[*]:+(missed: ${missedIds[*]})}"
[ $missed = 0 ] && [ $broken = 0 ]
