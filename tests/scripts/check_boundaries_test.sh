#!/usr/bin/env bash
# Runs the boundary check on small trees made here: each case plants one
# line in a file of disk/, main/ or tools/ beside clean files, and says
# whether the check must fail on it (naming the file and line) or pass.
#
#   tests/scripts/check_boundaries_test.sh path/to/check-boundaries.sh
set -uo pipefail

check="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# A tree that must pass as it is: platform/ may do anything, and names that
# merely look like system calls are no calls.
make_clean_tree() {
    local tree="$1"
    mkdir -p "$tree/disk/copy" "$tree/main/window" "$tree/tools/editor" "$tree/platform/os"
    cat > "$tree/disk/copy/clean.cpp" <<'CPP'
#include "disk/copy/clean.h"
#include <string>
// stat() and open() in a comment, and /proc/self in one too.
/* a block comment with #include <unistd.h>
   and dlopen("lib") over two lines */
bool Source::open(const std::string& path);  // a member of our own
int Reopen(int fd) { return file.open(fd) + loop->stat() + OpenFile(fd); }
std::string url = "https://example.org/x";  // two slashes in a string
int digits = 1'000'000;
CPP
    printf '#include <QFile>\nbool ok = file.open(QIODevice::ReadOnly);\n' > "$tree/main/window/clean.cpp"
    printf 'void Editor::rename(const QString& name);\n' > "$tree/tools/editor/clean.cpp"
    printf '#include <unistd.h>\nint pid = ::getpid();\nauto f = "/proc/self/exe";\n' > "$tree/platform/os/system.cpp"
}

# name | file | planted line | expected: "pass" or the text the failure names
cases=(
    "unistd header|disk/copy/planted.cpp|#include <unistd.h>|planted.cpp:2: includes <unistd.h>"
    "sys header|main/window/planted.cpp|#include <sys/stat.h>|planted.cpp:2: includes <sys/stat.h>"
    "linux header|tools/editor/planted.h|  #  include <linux/fs.h>|planted.h:2: includes <linux/fs.h>"
    "dlfcn header|disk/copy/planted.h|#include <dlfcn.h>|includes <dlfcn.h>"
    "fcntl header|disk/copy/planted.cpp|#include <fcntl.h>|includes <fcntl.h>"
    "spawn header|main/window/planted.cpp|#include <spawn.h>|includes <spawn.h>"
    "poll header|main/window/planted.cpp|#include <poll.h>|includes <poll.h>"
    "global open|disk/copy/planted.cpp|int fd = ::open(path, 0);|calls ::open()"
    "bare stat|disk/copy/planted.cpp|if (stat(path.c_str(), &st) != 0) return;|calls stat()"
    "lstat|disk/copy/planted.cpp|return lstat(p, &st);|calls lstat()"
    "ioctl|disk/copy/planted.cpp|    ::ioctl(fd, BLKGETSIZE64, &size);|calls ::ioctl()"
    "dlopen|disk/copy/planted.cpp|void* h = dlopen(\"liblz4.so.1\", 2);|calls dlopen()"
    "fork|main/window/planted.cpp|pid_t child = fork();|calls fork()"
    "posix_spawnp|main/window/planted.cpp|posix_spawnp(&pid, \"x\", 0, 0, argv, env);|calls posix_spawnp()"
    "execvp|tools/editor/planted.cpp|    execvp(argv[0], argv);|calls execvp()"
    "std rename|disk/copy/planted.cpp|std::rename(a.c_str(), b.c_str());|calls std::rename()"
    "filesystem rename|disk/copy/planted.cpp|fs::rename(a, b);|calls fs::rename()"
    "getpid|disk/copy/planted.cpp|auto name = std::to_string(::getpid());|calls ::getpid()"
    "isatty|main/window/planted.cpp|if (isatty(1)) show();|calls isatty()"
    "uname|main/window/planted.cpp|return ::uname(&names) == 0;|calls ::uname()"
    "proc path|main/window/planted.cpp|std::ifstream in(\"/proc/cpuinfo\");|names the /proc/ path"
    "sys path|tools/editor/planted.cpp|auto dir = \"/sys/block/\" + name;|names the /sys/ path"
    "after a comment ends|disk/copy/planted.cpp|/* why */ int fd = ::open(path, 0);|calls ::open()"
    "fstream header|main/window/planted.cpp|#include <fstream>|includes <fstream>"
    "filesystem query|disk/copy/planted.cpp|if (std::filesystem::exists(path)) return;|asks the file system through std::filesystem::exists"
    "fs alias query|main/window/planted.cpp|auto size = fs::file_size(path);|asks the file system through fs::file_size"
    "directory listing|tools/editor/planted.cpp|for (const auto& e : fs::directory_iterator(dir)) use(e);|fs::directory_iterator"
    "removal|disk/copy/planted.cpp|std::filesystem::remove_all(folder, ec);|std::filesystem::remove_all"
    "input stream|main/window/planted.cpp|std::ifstream in(path);|uses the file stream std::ifstream"
    "output stream|tools/editor/planted.cpp|std::ofstream out(path, std::ios::binary);|std::ofstream"
    "path arithmetic|disk/copy/planted.cpp|auto name = std::filesystem::path(p).filename().string() + fs::path(q).extension().string();|pass"
    "string stream|disk/copy/planted.cpp|std::istringstream fields(text);|pass"
    "member open|disk/copy/planted.cpp|bool ok = file.open(path) && stream->open(path);|pass"
    "own class rename|main/window/planted.cpp|void Dialog::rename(const QString& name) {}|pass"
    "declaration|disk/copy/planted.h|    virtual bool open() = 0;|pass"
    "commented out|disk/copy/planted.cpp|// int fd = ::open(path, 0);  #include <unistd.h>|pass"
    "quoted header text|main/window/planted.cpp|const char* note = \"see <sys/stat.h>\";|pass"
)

tree_number=0
for entry in "${cases[@]}"; do
    IFS='|' read -r name file line expected <<< "$entry"
    tree="$work/tree$((tree_number++))"
    make_clean_tree "$tree"
    mkdir -p "$(dirname "$tree/$file")"
    printf '// planted\n%s\n' "$line" > "$tree/$file"
    output="$(bash "$check" "$tree" 2>&1)"
    status=$?
    if [[ $expected == pass ]]; then
        if [[ $status -ne 0 ]]; then
            echo "FAIL [$name]: the check failed on a clean line: $output"
            failures=$((failures + 1))
        fi
    elif [[ $status -eq 0 ]]; then
        echo "FAIL [$name]: the check passed a tree with: $line"
        failures=$((failures + 1))
    elif [[ $output != *"$file"* || $output != *"$expected"* ]]; then
        echo "FAIL [$name]: expected the report to name $file and '$expected', got: $output"
        failures=$((failures + 1))
    fi
done

# The clean tree alone passes, and so does one without any of the folders.
make_clean_tree "$work/clean"
if ! bash "$check" "$work/clean" > "$work/clean.out" 2>&1; then
    echo "FAIL [clean tree]: $(cat "$work/clean.out")"
    failures=$((failures + 1))
fi
mkdir -p "$work/empty"
bash "$check" "$work/empty" > /dev/null 2>&1 || { echo "FAIL [empty tree]"; failures=$((failures + 1)); }

# Every finding of a file is reported, not just the first.
make_clean_tree "$work/many"
printf '#include <unistd.h>\nint a = ::getpid();\nint b = isatty(0);\n' > "$work/many/disk/copy/many.cpp"
count="$(bash "$check" "$work/many" 2>&1 | grep -c 'many.cpp')"
[[ $count -eq 3 ]] || { echo "FAIL [every finding]: $count reports instead of 3"; failures=$((failures + 1)); }

if [[ $failures -ne 0 ]]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all ${#cases[@]} planted cases and the clean trees behaved"
