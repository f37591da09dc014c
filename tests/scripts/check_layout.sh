#!/usr/bin/env bash
# Checks the Layout section of docs/layout.md against the folders the build
# declares (the list tarnovell_write_folder_list() writes at configure time:
# folder, target and DEPENDS, tab-separated). Every table row of the section is
#
#   | `folder/` | `target` | `link`, `link` | what the folder's code does |
#
# and there must be one row for each declared folder and none for anything
# else, with the build's target and exactly its DEPENDS (in any order; an
# empty cell when it has none). Each row that differs is named.
#
#   tests/scripts/check_layout.sh docs/layout.md build/tarnovell_folders.txt
set -uo pipefail

document="$1"
list="$2"
if [[ ! -s $list ]]; then
    echo "$list: no declared folders (configure the build first)"
    exit 1
fi
if [[ ! -r $document ]]; then
    echo "$document: cannot be read"
    exit 1
fi

awk -v document="$document" '
function trim(text) { gsub(/^[ \t]+|[ \t]+$/, "", text); return text }
# "a b" or "`a`, `b`" -> "`a`, `b`": sorted, each once; "" stays "".
function shown(text,    names, count, i, j, name, out) {
    gsub(/[`,]/, " ", text)
    count = split(text, names, " ")
    for (i = 2; i <= count; i++) {
        name = names[i]
        for (j = i - 1; j >= 1 && names[j] > name; j--) names[j + 1] = names[j]
        names[j + 1] = name
    }
    out = ""
    for (i = 1; i <= count; i++)
        if (i == 1 || names[i] != names[i - 1]) out = out (out == "" ? "" : ", ") "`" names[i] "`"
    return out
}
function none(text) { return text == "" ? "(none)" : text }
function fail(text) { print document " Layout: " text; failures++ }

# The build'"'"'s list: folder, target, DEPENDS.
FNR == NR {
    split($0, fields, "\t")
    if (fields[1] == "") next
    declared[++count] = fields[1]
    target[fields[1]] = fields[2]
    links[fields[1]] = shown(fields[3])
    next
}
/^## / { inside = ($0 ~ /^## Layout[ \t]*$/); if (inside) sections++ }
!inside { next }
{ line = trim($0) }
line !~ /^\|/ || line ~ /^\|[-:| ]+$/ { next }
{
    body = substr(line, 2)
    sub(/\|$/, "", body)
    cells = split(body, cell, "|")
    for (i = 1; i <= cells; i++) cell[i] = trim(cell[i])
    if (cell[1] == "folder") next
    row = cell[1]
    if (cells != 4) { fail("row " row ": " cells " cells, not folder | target | links | holds"); next }
    if (row !~ /^`[^`]+`$/) { fail("row " row ": the folder is not one name in backticks"); next }
    folder = substr(row, 2, length(row) - 2)
    sub(/\/$/, "", folder)
    if (folder in seen) { fail("row " row ": the folder has a row already"); next }
    seen[folder] = 1
    if (!(folder in target)) { fail("row " row ": no such folder is declared in the build"); next }
    if (cell[2] != "`" target[folder] "`")
        fail("row " row ": target " cell[2] ", the build'"'"'s is `" target[folder] "`")
    # Links are target names in backticks, separated by commas or blanks.
    rest = cell[3]
    gsub(/`[^`]*`/, "", rest)
    gsub(/[, ]/, "", rest)
    if (rest != "") {
        fail("row " row ": links \"" cell[3] "\" are not target names in backticks")
    } else if (shown(cell[3]) != links[folder]) {
        fail("row " row ": links " none(shown(cell[3])) ", the build'"'"'s DEPENDS are " none(links[folder]))
    }
    if (cell[4] == "") fail("row " row ": says nothing of what the folder holds")
}
END {
    if (count == 0) { print document ": no declared folders in the list"; exit 1 }
    if (sections == 0) { print document ": no \"## Layout\" section"; exit 1 }
    for (i = 1; i <= count; i++)
        if (!(declared[i] in seen))
            fail("no row for `" declared[i] "/` (target `" target[declared[i]] "`, links " none(links[declared[i]]) ")")
    if (failures) {
        print failures " difference(s) between the Layout table and the folders the build declares"
        exit 1
    }
    print "the Layout table lists the " count " declared folders with their targets and links"
}' "$list" "$document"
