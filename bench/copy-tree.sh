# Sourced by bench/mutants.sh and bench/coverage.sh: copy_tree ROOT BASE WORK puts a copy of the
# tree in WORK/src (BASE: a commit; empty: tracked and new files as they are now). Files keep
# their times, so a second run rebuilds only what changed; files gone from the tree go.
copy_tree() {
    local root=$1 base=$2 work=$3
    mkdir -p "$work/src"
    if [ -n "$base" ]; then
        git -C "$root" ls-tree -r -z --name-only "$base" >"$work/files"
        git -C "$root" archive "$base" | tar -xf - -C "$work/src"
    else
        (cd "$root" && git ls-files -co --exclude-standard -z) >"$work/files"
        (cd "$root" && tar --null -T "$work/files" -cf -) | tar -xf - -C "$work/src"
    fi
    (cd "$work/src" && find . -type f -printf '%P\0') | sort -z >"$work/copied"
    sort -z "$work/files" | comm -z -23 "$work/copied" - | (cd "$work/src" && xargs -0r rm -f)
}
