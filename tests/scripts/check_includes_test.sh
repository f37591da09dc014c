#!/usr/bin/env bash
# Configures small projects made here with the include check: three folders,
# alpha linking beta and beta linking gamma, and delta linked by none. Each
# case plants one include in a file of alpha and says whether configuring
# must fail (naming the file, the include and the link it lacks) or pass.
#
#   tests/scripts/check_includes_test.sh path/to/cmake-folder
set -uo pipefail

modules="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

make_tree() {
    local tree="$1" level="$2"
    mkdir -p "$tree/alpha" "$tree/beta" "$tree/gamma" "$tree/delta"
    for folder in alpha beta gamma delta; do
        printf 'int %s_one();\n' "$folder" > "$tree/$folder/one.h"
        printf '#include "%s/one.h"\nint %s_one() { return 1; }\n' "$folder" "$folder" > "$tree/$folder/one.cpp"
    done
    printf '#include "alpha/one.h"\n#include "beta/one.h"\n' > "$tree/alpha/clean.cpp"
    cat > "$tree/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.20)
project(planted CXX)
list(APPEND CMAKE_MODULE_PATH "$modules")
include(TarnovellFolders)
tarnovell_folder(lib_delta delta)
tarnovell_folder(lib_gamma gamma)
tarnovell_folder(lib_beta beta DEPENDS lib_gamma)
tarnovell_folder(lib_alpha alpha DEPENDS lib_beta EXCLUDE tool.cpp)
tarnovell_check_includes($level)
CMAKE
}

configure() {
    cmake -S "$1" -B "$1/build" -G Ninja > "$1/out" 2>&1
}

# name | file in alpha | planted line | expected: "pass" or the text the failure names
cases=(
    "unlinked folder|alpha/planted.cpp|#include \"delta/one.h\"|alpha/planted.cpp: #include \"delta/one.h\": lib_alpha does not link lib_delta"
    "unlinked from a header|alpha/planted.h|  #  include \"delta/one.h\"|alpha/planted.h: #include \"delta/one.h\": lib_alpha does not link lib_delta"
    "linked directly|alpha/planted.cpp|#include \"beta/one.h\"|pass"
    "linked through another|alpha/planted.cpp|#include \"gamma/one.h\"|pass"
    "own folder|alpha/planted.cpp|#include \"alpha/one.h\"|pass"
    "no folder of ours|alpha/planted.cpp|#include \"generated/resources.h\"|pass"
    "system header|alpha/planted.cpp|#include <delta/one.h>|pass"
    "file of another target|alpha/tool.cpp|#include \"delta/one.h\"|pass"
    "commented out|alpha/planted.cpp|// #include \"delta/one.h\"|pass"
)

tree_number=0
for entry in "${cases[@]}"; do
    IFS='|' read -r name file line expected <<< "$entry"
    tree="$work/tree$((tree_number++))"
    make_tree "$tree" FATAL_ERROR
    printf '// planted\n%s\n' "$line" > "$tree/$file"
    configure "$tree"
    status=$?
    output="$(tr -s ' \n' ' ' < "$tree/out")"
    if [[ $expected == pass ]]; then
        if [[ $status -ne 0 ]]; then
            echo "FAIL [$name]: configuring failed on a clean include: $output"
            failures=$((failures + 1))
        fi
    elif [[ $status -eq 0 ]]; then
        echo "FAIL [$name]: configuring passed a tree with: $line"
        failures=$((failures + 1))
    elif [[ $output != *"$expected"* ]]; then
        echo "FAIL [$name]: expected the report to say '$expected', got: $output"
        failures=$((failures + 1))
    fi
done

# As a warning the same include is listed and configuring goes on.
make_tree "$work/warning" WARNING
printf '#include "delta/one.h"\n' > "$work/warning/alpha/planted.cpp"
if ! configure "$work/warning" || ! grep -q 'lib_alpha does not link lib_delta' "$work/warning/out"; then
    echo "FAIL [warning]: $(cat "$work/warning/out")"
    failures=$((failures + 1))
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all ${#cases[@]} planted cases and the warning behaved"
