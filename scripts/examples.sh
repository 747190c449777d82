#!/usr/bin/env bash
# Installs the build in build/ to a fresh prefix, builds examples/ against the installed package
# and runs the three programs on the sample document.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
# The Python module goes into the system Python, not the prefix: leave that component out.
cmake --install build --prefix "$prefix" --component Unspecified >/dev/null
cmake -S examples -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
ninja -C "$prefix/build" >/dev/null
out=$("$prefix/build/list_layers" samples/sample.psd)
echo "$out"
while IFS= read -r name; do
    grep -qF "\"$name\"" <<<"$out" || { echo "list_layers does not name layer $name"; exit 1; }
done < <(build/zuzodoriv info --json samples/sample.psd | python3 -c \
    'import json, sys; print("\n".join(l["name"] for l in json.load(sys.stdin)["layers"] if l["kind"]))')
"$prefix/build/export_layer" samples/sample.psd 2 "$prefix/layer.png"
"$prefix/build/make_document" "$prefix/made.psd"
build/zuzodoriv verify "$prefix/made.psd" >/dev/null
echo "examples: built against the installed package and run"
