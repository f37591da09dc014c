#!/usr/bin/env bash
# Runs the Layout check on copies of the layout document (docs/layout.md)
# and of the build's list of declared folders, each with one thing planted:
# a row dropped, added, doubled or moved out of the section, a cell changed,
# a folder or DEPENDS changed in the build's list. Each case says whether the check must fail
# (and what it must say, naming the row) or pass. The copies as they are
# pass.
#
#   tests/scripts/check_layout_test.sh path/to/check_layout.sh docs/layout.md build/tarnovell_folders.txt
set -uo pipefail

check="$1"
document="$2"
list="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# Plants `op` on the row of `folder` (in the Layout section) of the layout document:
#   drop, twice, outside (moved under a heading of its own at the end of the
#   file, past the section), add (`value` as a new line after the row), line
#   (`value` instead of the row), cell:N (cell N, 1 the folder .. 4 the
#   holds, becomes `value`); or on the whole file: nosection (the heading
#   renamed), append (`value` under a heading of its own at the end).
plant_document() {
    local file="$1" folder="$2" op="$3" value="$4"
    case "$op" in
        append) printf '\n## Elsewhere\n\n%s\n' "$value" >> "$file"; return ;;
        nosection) sed -i 's/^## Layout$/## Folders/' "$file"; return ;;
    esac
    awk -v prefix="| \`$folder/\` |" -v op="$op" -v value="$value" '
        /^## / { inside = ($0 ~ /^## Layout[[:space:]]*$/) }
        inside && index($0, prefix) == 1 {
            if (op == "drop") next
            if (op == "outside") { moved = $0; next }
            if (op == "twice") { print; print; next }
            if (op == "add") { print; print value; next }
            if (op == "line") { print value; next }
            if (op ~ /^cell:/) {
                count = split($0, cells, "|")
                cells[substr(op, 6) + 1] = " " value " "
                line = cells[1]
                for (i = 2; i <= count; i++) line = line "|" cells[i]
                print line
                next
            }
        }
        { print }
        END { if (moved != "") { print "\n## Elsewhere\n"; print moved } }' "$file" > "$file.new" &&
        mv "$file.new" "$file"
}

# On the list: append (`value`, \t for a tab), target or links (the
# folder's target or DEPENDS become `value`), empty.
plant_list() {
    local file="$1" folder="$2" op="$3" value="$4"
    case "$op" in
        append) printf '%b\n' "$value" >> "$file" ;;
        target | links)
            awk -F'\t' -v OFS='\t' -v folder="$folder" -v field="$([[ $op == target ]] && echo 2 || echo 3)" \
                -v value="$value" '$1 == folder { $field = value } { print }' "$file" > "$file.new" &&
                mv "$file.new" "$file" ;;
        empty) : > "$file" ;;
    esac
}

# name ; file planted: document or list ; folder ; op ; value ; expected: "pass" or the text the failure names
cases=(
    "missing row;document;disk/copy;drop;;no row for \`disk/copy/\` (target \`disk_copy\`, links \`disk_device\`)"
    "undeclared folder;document;disk/copy;add;| \`disk/ghost/\` | \`disk_ghost\` | \`disk_copy\` | nothing |;row \`disk/ghost/\`: no such folder is declared in the build"
    "folder that is no library;document;resources;add;| \`tests/\` | \`tests\` | | the tests |;row \`tests/\`: no such folder is declared in the build"
    "wrong target;document;disk/copy;cell:2;\`disk_copier\`;row \`disk/copy/\`: target \`disk_copier\`, the build's is \`disk_copy\`"
    "target without backticks;document;disk/copy;cell:2;disk_copy;row \`disk/copy/\`: target disk_copy, the build's is \`disk_copy\`"
    "a link missing;document;disk/formats/ewf;cell:3;\`disk_copy\`, \`disk_bindings\`, \`disk_formats_imagecheck\`;row \`disk/formats/ewf/\`: links \`disk_bindings\`, \`disk_copy\`, \`disk_formats_imagecheck\`, the build's DEPENDS are \`disk_bindings\`, \`disk_checksum\`, \`disk_copy\`, \`disk_formats_imagecheck\`"
    "a link too many;document;disk/copy;cell:3;\`disk_device\`, \`disk_util\`;row \`disk/copy/\`: links \`disk_device\`, \`disk_util\`, the build's DEPENDS are \`disk_device\`"
    "links where there are none;document;platform/base;cell:3;\`platform_os\`;row \`platform/base/\`: links \`platform_os\`, the build's DEPENDS are (none)"
    "no links where there are;document;disk/copy;cell:3;;row \`disk/copy/\`: links (none), the build's DEPENDS are \`disk_device\`"
    "a link without backticks;document;disk/copy;cell:3;disk_device;row \`disk/copy/\`: links \"disk_device\" are not target names in backticks"
    "a row twice;document;disk/copy;twice;;row \`disk/copy/\`: the folder has a row already"
    "row outside the section;document;disk/copy;outside;;no row for \`disk/copy/\`"
    "three cells;document;disk/copy;line;| \`disk/copy/\` | \`disk_copy\` | the copy loop |;row \`disk/copy/\`: 3 cells, not folder | target | links | holds"
    "nothing held;document;disk/copy;cell:4;;row \`disk/copy/\`: says nothing of what the folder holds"
    "folder without backticks;document;disk/copy;cell:1;disk/copy/;row disk/copy/: the folder is not one name in backticks"
    "no Layout section;document;;nosection;;no \"## Layout\" section"
    "new folder in the build;list;;append;disk/fresh\tdisk_fresh\tdisk_copy platform;no row for \`disk/fresh/\` (target \`disk_fresh\`, links \`disk_copy\`, \`platform\`)"
    "DEPENDS changed in the build;list;disk/copy;links;disk_device disk_util;row \`disk/copy/\`: links \`disk_device\`, the build's DEPENDS are \`disk_device\`, \`disk_util\`"
    "target changed in the build;list;disk/copy;target;disk_copy2;row \`disk/copy/\`: target \`disk_copy\`, the build's is \`disk_copy2\`"
    "no folder list;list;;empty;;no declared folders"
    "links in another order;document;disk/formats/ewf;cell:3;\`disk_checksum\`, \`disk_formats_imagecheck\`, \`disk_bindings\`, \`disk_copy\`;pass"
    "links without commas;document;disk/formats/lz4;cell:3;\`disk_bindings\`  \`disk_copy\`;pass"
    "folder without its slash;document;disk/copy;cell:1;\`disk/copy\`;pass"
    "other holds;document;disk/copy;cell:4;anything that says what it holds;pass"
    "a table elsewhere;document;;append;| \`ghost/\` | \`ghost\` | | not in the section |;pass"
)

case_number=0
for entry in "${cases[@]}"; do
    IFS=';' read -r name planted folder op value expected <<< "$entry"
    dir="$work/case$((case_number++))"
    mkdir -p "$dir"
    cp "$document" "$dir/layout.md"
    cp "$list" "$dir/folders.txt"
    if [[ $planted == document ]]; then
        plant_document "$dir/layout.md" "$folder" "$op" "$value"
    else
        plant_list "$dir/folders.txt" "$folder" "$op" "$value"
    fi
    if cmp -s "$document" "$dir/layout.md" && cmp -s "$list" "$dir/folders.txt"; then
        echo "FAIL [$name]: nothing was planted (is the row of $folder/ still in the document?)"
        failures=$((failures + 1))
        continue
    fi
    output="$(bash "$check" "$dir/layout.md" "$dir/folders.txt" 2>&1)"
    status=$?
    if [[ $expected == pass ]]; then
        if [[ $status -ne 0 ]]; then
            echo "FAIL [$name]: the check failed: $output"
            failures=$((failures + 1))
        fi
    elif [[ $status -eq 0 ]]; then
        echo "FAIL [$name]: the check passed: $output"
        failures=$((failures + 1))
    elif [[ $output != *"$expected"* ]]; then
        echo "FAIL [$name]: expected the report to say '$expected', got: $output"
        failures=$((failures + 1))
    fi
done

# The copies as they are pass.
if ! output="$(bash "$check" "$document" "$list" 2>&1)"; then
    echo "FAIL [as they are]: $output"
    failures=$((failures + 1))
fi

# Every difference is reported, not just the first.
mkdir -p "$work/many"
cp "$document" "$work/many/layout.md"
plant_document "$work/many/layout.md" disk/copy drop ""
plant_document "$work/many/layout.md" disk/net cell:2 '`disk_network`'
plant_document "$work/many/layout.md" tools/lz4 cell:3 '`main_window`'
count="$(bash "$check" "$work/many/layout.md" "$list" 2>&1 | grep -c 'Layout: ')"
[[ $count -eq 3 ]] || { echo "FAIL [every difference]: $count reports instead of 3"; failures=$((failures + 1)); }

if [[ $failures -ne 0 ]]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all ${#cases[@]} planted cases and the copies as they are behaved"
