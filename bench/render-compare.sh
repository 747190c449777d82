#!/usr/bin/env bash
# Renders every corpus document whose file holds a real composite and compares the render with
# it: the share of pixels within 2 levels (of 255) on every channel, and the features the renderer
# named as not drawn. Prints a Markdown table, then the mean over the drawn-in-full documents.
#   bench/render-compare.sh [CORPUS] [ZUZODORIV]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${1:-$here/../../shared/corpus}
tool=${2:-$here/../build/zuzodoriv}
echo "| document | within 2 levels | not drawn |"
echo "|---|---|---|"
# The manifest's documents, then the layered TIFFs (which it does not list).
{ tail -n +2 "$corpus/MANIFEST.tsv" | cut -f1 | grep -E '\.(psd|psb)$'
  (cd "$corpus" && find tiff -name '*.tif' | sort); } | while read -r doc; do
    # Documents the library refuses are the damaged fixtures: nothing to draw.
    "$tool" info "$corpus/$doc" >/dev/null 2>&1 || continue
    out=$(timeout 300 "$tool" render "$corpus/$doc" --compare 2>&1 | tr -d '\0')
    line=$(grep -E "% of pixels within|no stored composite|does not draw|cannot open|error" <<<"$out" | tail -1)
    case $line in
        *"which is not real"*|*"no stored composite"*) continue ;;
        *"% of pixels"*) pct=$(sed -E 's/.*: ([0-9.]+)% of pixels.*/\1/' <<<"$line") ;;
        *) pct="fails: ${line##*: }" ;;
    esac
    undrawn=$(grep -F "not drawn:" <<<"$out" | sed -E 's/.*not drawn: //' | paste -sd ';' | sed 's/;/; /g')
    echo "| $doc | $pct | $undrawn |"
done | tee /tmp/render-compare.rows
awk -F'|' '$4 ~ /^ *$/ && $3 ~ /^ *[0-9.]+ *$/ { s += $3; n++; if ($3 + 0 >= 95) ok++ }
           $4 !~ /^ *$/ && $3 ~ /^ *[0-9.]+ *$/ { s2 += $3; n2++ }
           END { printf "\nfully drawn: %d documents, mean %.2f %%, %d at 95 %% or more; with undrawn features: %d documents, mean %.2f %%\n", n, n ? s / n : 0, ok, n2, n2 ? s2 / n2 : 0 }' /tmp/render-compare.rows
