#include "platform/device/device_monitor.h"
#include "platform/os/thread.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/device/registry.h"
#include "platform/base/unique_fd.h"

namespace platform::device {

namespace {

// What a change is measured against: the letters in use, and which disk
// each number is and where its volumes lie. The bytes on a disk, its mounts
// and its files are no part of it: a disk being written is the same disk.
struct Picture {
    std::uint32_t letters = 0;
    std::string disks;

    static Picture Of(const Snapshot& snap) {
        Picture picture;
        for (const auto& d : snap.disks)
            picture.disks += std::to_string(d.number) + "|" + d.identity + "|" + d.backing + "|" +
                             std::to_string(d.size) + "|" + d.serial + "|" + d.product + "\n";
        for (const auto& v : snap.volumes) {
            if (v.letter >= 'A' && v.letter <= 'Z') picture.letters |= 1u << (v.letter - 'A');
            picture.disks += std::to_string(v.disk) + "@" + std::to_string(v.start) + "+" + std::to_string(v.length) +
                             " " + GuidToString(v.guid) + " " + v.filesystem + "\n";
        }
        return picture;
    }
};

UniqueFd OpenEventSource() {
    const char* manifest = std::getenv("TARNOVELL_HOST");
    if (manifest && *manifest) {
        // The embedded host's disks change when the manifest or an image in
        // its folder is written, created, moved or removed.
        UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        std::filesystem::path parent = std::filesystem::path(manifest).parent_path();
        const std::filesystem::path folder = parent.empty() ? std::filesystem::path(".") : parent;
        if (fd && ::inotify_add_watch(fd.get(), folder.c_str(),
                                      IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM) < 0)
            fd.reset();
        return fd;
    }
    UniqueFd fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
    if (!fd) return fd;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own events
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fd.reset();
    return fd;
}

// The registry's own files beside the manifest ("<manifest>.state",
// its lock files and the temporary file it renames): every refresh touches
// them, so they must not count as a change of disks.
bool IsOwnStateFile(const std::string& name, const std::string& manifest_name) {
    const std::string_view suffix = ".state";
    return name.size() >= manifest_name.size() + suffix.size() && name.compare(0, manifest_name.size(), manifest_name) == 0 &&
           name.compare(manifest_name.size(), suffix.size(), suffix) == 0;
}

// Reads what is pending; true when any of it concerns block devices (or,
// for inotify, a file other than the registry's own state).
bool Drain(int fd, bool netlink, const std::string& manifest_name) {
    bool relevant = false;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        if (!netlink) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                auto* event = reinterpret_cast<inotify_event*>(buffer + at);
                std::string name = event->len ? std::string(event->name) : std::string();
                if (!IsOwnStateFile(name, manifest_name)) relevant = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            continue;
        }
        std::string message(buffer, static_cast<std::size_t>(n));
        if (message.find(std::string("SUBSYSTEM=block", 15)) != std::string::npos) relevant = true;
    }
    return relevant;
}

}  // namespace

struct DeviceMonitor::Impl {
    Callback callback;
    DisksChanged disks_changed;
    UniqueFd source;
    UniqueFd stop{::eventfd(0, EFD_CLOEXEC)};
    bool netlink = false;
    std::string manifest_name;
    std::jthread thread;

    // Settling: a caller counts a request up and rings `settle_request`;
    // the thread takes in what is pending and counts the requests it saw as
    // handled.
    UniqueFd settle_request{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::mutex settle_mutex;
    std::condition_variable settled;
    std::uint64_t requested = 0;
    std::uint64_t handled = 0;

    bool settle(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(settle_mutex);
        const std::uint64_t wanted = ++requested;
        std::uint64_t one = 1;
        (void)!::write(settle_request.get(), &one, sizeof one);
        return settled.wait_until(lock, deadline, [&] { return handled >= wanted; });
    }

    void mark_handled(std::uint64_t upto) {
        std::lock_guard lock(settle_mutex);
        handled = std::max(handled, upto);
        settled.notify_all();
    }

    // Volumes that came or went are news of their own, for the status line;
    // disks that changed without moving a letter only make what is listed
    // out of date. A file written beside the manifest (an image being backed
    // up there) or a uevent of a disk that stays as it was is no news at all.
    void report_changes(Picture& known) {
        const Picture now = Picture::Of(*Registry::instance().refresh());
        const std::uint32_t arrived = now.letters & ~known.letters, removed = known.letters & ~now.letters;
        if (arrived) callback(true, arrived);
        if (removed) callback(false, removed);
        if (!arrived && !removed && now.disks != known.disks && disks_changed) disks_changed();
        known = now;
    }

    void run() {
        Picture known = Picture::Of(*Registry::instance().snapshot());
        for (;;) {
            pollfd fds[3] = {{stop.get(), POLLIN, 0}, {source.get(), POLLIN, 0}, {settle_request.get(), POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
            if (fds[0].revents) break;
            if (fds[2].revents & POLLIN) {
                std::uint64_t count = 0;
                (void)!::read(settle_request.get(), &count, sizeof count);
                std::uint64_t upto = 0;
                {
                    std::lock_guard lock(settle_mutex);
                    upto = requested;
                }
                // Whatever was changed before the request is in the queue by now.
                if (Drain(source.get(), netlink, manifest_name)) report_changes(known);
                mark_handled(upto);
                continue;
            }
            if (!(fds[1].revents & POLLIN) || !Drain(source.get(), netlink, manifest_name)) continue;
            // Let a burst of events (a disk and its partitions) settle into one refresh.
            pollfd settle[1] = {{stop.get(), POLLIN, 0}};
            if (::poll(settle, 1, 250) > 0) break;
            Drain(source.get(), netlink, manifest_name);
            report_changes(known);
        }
        // Nothing is taken in any more: nobody waits for it.
        mark_handled(std::numeric_limits<std::uint64_t>::max());
    }
};

namespace {

// The monitors that run, for SettleAll. Never destroyed: a monitor may end
// while the program's statics are being torn down.
struct LiveMonitors {
    std::mutex mutex;
    std::vector<DeviceMonitor::Impl*> monitors;
};

LiveMonitors& Live() {
    static auto* live = new LiveMonitors;
    return *live;
}

}  // namespace

DeviceMonitor::DeviceMonitor(Callback callback, DisksChanged disks_changed) : impl_(std::make_unique<Impl>()) {
    impl_->callback = std::move(callback);
    impl_->disks_changed = std::move(disks_changed);
    const char* manifest = std::getenv("TARNOVELL_HOST");
    impl_->netlink = !(manifest && *manifest);
    if (!impl_->netlink) impl_->manifest_name = std::filesystem::path(manifest).filename().string();
    impl_->source = OpenEventSource();
    if (!impl_->source || !impl_->stop || !impl_->settle_request) return;
    impl_->thread = StartThread([this](std::stop_token) { impl_->run(); });
    std::lock_guard lock(Live().mutex);
    Live().monitors.push_back(impl_.get());
}

DeviceMonitor::~DeviceMonitor() {
    {
        std::lock_guard lock(Live().mutex);
        std::erase(Live().monitors, impl_.get());
    }
    if (impl_->thread.joinable()) {
        std::uint64_t one = 1;
        (void)!::write(impl_->stop.get(), &one, sizeof one);
        impl_->thread.join();
    }
}

bool DeviceMonitor::watching() const { return impl_->thread.joinable(); }

bool DeviceMonitor::SettleAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::lock_guard lock(Live().mutex);
    bool all = true;
    for (Impl* monitor : Live().monitors) all = monitor->settle(deadline) && all;
    return all;
}

}  // namespace platform::device
