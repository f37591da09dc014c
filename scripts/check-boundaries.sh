#!/usr/bin/env bash
# Only platform/ talks to the operating system. This fails (exit 1), naming
# file and line, when a source file in disk/, main/ or tools/ includes a
# system header, calls the system directly, asks the file system through
# std::filesystem (path arithmetic is fine) or a file stream, or names a
# /proc or /sys path.
# Comments do not count; member functions of the same names (file.open(),
# loop->stat()) and calls qualified by a class of our own do not either.
#
#   scripts/check-boundaries.sh [SOURCE_ROOT]     (default: this checkout)
set -euo pipefail

root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"
cd "$root"

folders=()
for folder in disk main tools; do
    [[ -d $folder ]] && folders+=("$folder")
done
[[ ${#folders[@]} -gt 0 ]] || exit 0

mapfile -d '' files < <(find "${folders[@]}" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' \) -print0 | sort -z)
[[ ${#files[@]} -gt 0 ]] || exit 0

perl -e '
use strict;
use warnings;

my $headers = qr{(?:sys|linux)/[^>]+|unistd\.h|fcntl\.h|dlfcn\.h|spawn\.h|poll\.h|dirent\.h|signal\.h|link\.h|fstream};
my $fs_queries = qr{exists|is_\w+|file_size|(?:recursive_)?directory_iterator|create_director(?:y|ies)|create_(?:hard_|directory_)?symlink|remove(?:_all)?|copy(?:_file|_symlink)?|space|status|symlink_status|last_write_time|permissions|current_path|temp_directory_path|canonical|weakly_canonical|absolute|read_symlink|resize_file|equivalent|hard_link_count};
my $calls = qr{open|openat|ioctl|stat|lstat|fstat|fstatat|dlopen|dlsym|dlclose|fork|vfork|posix_spawnp?|exec[lv]\w*|rename|renameat2?|getpid|isatty|uname|mkdtemp|mkstemp|popen|system|waitpid|kill|mount|umount2?};
my $failures = 0;

for my $file (@ARGV) {
    open(my $in, "<", $file) or die "$file: $!\n";
    my $in_comment = 0;
    while (my $line = <$in>) {
        chomp $line;
        # The line without its comments; string literals stay, as paths live there.
        my ($code, $quote) = ("", "");
        for (my $i = 0; $i < length $line; ++$i) {
            my $c = substr($line, $i, 1);
            my $two = substr($line, $i, 2);
            if ($in_comment) {
                if ($two eq "*/") { $in_comment = 0; ++$i; }
                next;
            }
            if ($quote) {
                $code .= $c;
                if ($c eq "\\") { $code .= substr($line, ++$i, 1); next; }
                $quote = "" if $c eq $quote;
                next;
            }
            last if $two eq "//";
            if ($two eq "/*") { $in_comment = 1; ++$i; next; }
            $quote = $c if $c eq "\"" || ($c eq "\x27" && substr($line, $i - 1, 1) !~ /[0-9A-Fa-f]/);
            $code .= $c;
        }
        my @found;
        push @found, "includes <$1>" if $code =~ /^\s*#\s*include\s*<($headers)>/;
        while ($code =~ /(?<![\w.>:])(::|std::(?:filesystem::)?|fs::)?\b($calls)\s*\(/g) {
            my ($qualifier, $name, $before) = ($1 // "", $2, substr($code, 0, $-[0]));
            # Unqualified, a name is a call only where an expression starts;
            # after a type it is the declaration of a function of our own.
            next if $qualifier eq "" && $before !~ /(?:^|[(=!,;{}?:&|]|\breturn)\s*$/;
            push @found, "calls $qualifier$name()";
        }
        push @found, "asks the file system through $1" while $code =~ /(?<![\w:])((?:std::filesystem|fs)::(?:$fs_queries))\b/g;
        push @found, "uses the file stream $1" while $code =~ /(?<![\w:])(std::[io]?fstream)\b/g;
        push @found, "names the $1 path" while $code =~ m{(?<![\w.])(/(?:proc|sys)/)}g;
        for my $what (@found) {
            print "$file:$.: $what: the operating system is reached through platform/\n";
            ++$failures;
        }
    }
    close $in;
}
exit($failures ? 1 : 0);
' "${files[@]}"
