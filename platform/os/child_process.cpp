#include "platform/os/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/base/unique_fd.h"

namespace platform::virtdisk {

namespace {

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    for (const auto& a : argv) result.push_back(const_cast<char*>(a.c_str()));
    result.push_back(nullptr);
    return result;
}

}  // namespace

std::string FindOnPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    std::size_t from = 0;
    while (from <= folders.size()) {
        std::size_t to = folders.find(':', from);
        if (to == std::string::npos) to = folders.size();
        std::string folder = folders.substr(from, to - from);
        if (folder.empty()) folder = ".";
        std::string candidate = folder + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        from = to + 1;
    }
    return "";
}

ToolResult RunTool(const std::vector<std::string>& argv) {
    ToolResult result;
    if (argv.empty()) return result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    UniqueFd out_read(out[0]), out_write(out[1]), err_read(err[0]), err_write(err[1]);
    auto args = ArgvOf(argv);
    pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in >= 0) ::dup2(null_in, 0);
        ::dup2(out_write.get(), 1);
        ::dup2(err_write.get(), 2);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    out_write.close();
    err_write.close();
    // Read both pipes together so that neither fills up and blocks the tool.
    std::string error_text;
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    int open_count = 2;
    char buffer[4096];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) (i == 0 ? result.output : error_text).append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (result.exit_code == 127 && result.output.empty() && error_text.empty()) result.exit_code = -1;
    result.output += error_text;
    return result;
}

int StartDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return -1;
    auto args = ArgvOf(argv);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        ::setsid();
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd >= 0) {
            ::dup2(null_fd, 0);
            ::dup2(null_fd, 1);
            ::dup2(null_fd, 2);
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

void ReapIfChild(int pid) {
    if (pid > 0) ::waitpid(pid, nullptr, WNOHANG);
}

}  // namespace platform::virtdisk
