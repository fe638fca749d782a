#include "fault/fault_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/host_process.h"
#include "support/pg_server.h"

namespace vantrel::test {
namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

int test_server_port() {
    static const std::regex port_pattern("(^|\\s)port=(\\d+)");
    std::smatch match;
    const std::string conninfo = test_conninfo();
    if (!std::regex_search(conninfo, match, port_pattern)) {
        throw std::runtime_error("no port in the test connection string: " + conninfo);
    }
    return std::stoi(match[2]);
}

Outcome classify(const std::string& path, const std::string& expected) {
    if (!file_exists(path)) return Outcome::missing;
    const std::string text = read_file(path);
    if (text == expected) return Outcome::expected;
    return is_error_text(text) ? Outcome::error_text : Outcome::other;
}

std::string own_output() {
    std::fflush(stdout);
    return read_file("/proc/self/fd/1");
}

bool enter_private_mount_namespace(std::string& why) {
    if (unshare(CLONE_NEWNS) != 0) {
        why = errno_text("unshare(CLONE_NEWNS)");
        return false;
    }
    // Without this, mounts made here could still show up in the machine's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = errno_text("mount --make-rprivate /");
        return false;
    }
    return true;
}

bool mount_tmpfs(const std::string& dir, int size_kib, std::string& why) {
    const std::string options = "size=" + std::to_string(size_kib) + "k,mode=0777";
    if (mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
        why = errno_text("mount tmpfs");
        return false;
    }
    return true;
}

bool remount_tmpfs(const std::string& dir, int size_kib, bool read_only, std::string& why) {
    const std::string options = "size=" + std::to_string(size_kib) + "k";
    const unsigned long flags = MS_REMOUNT | MS_NOSUID | MS_NODEV | (read_only ? MS_RDONLY : 0);
    // A read-only remount is refused (EBUSY) while a file is open for writing on it; busy
    // workers keep one open most of the time, so keep trying for a while on a loaded machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (mount("tmpfs", dir.c_str(), "tmpfs", flags, options.c_str()) != 0) {
        if (errno != EBUSY || std::chrono::steady_clock::now() > deadline) {
            why = errno_text(read_only ? "remount read-only" : "remount read-write");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

bool enter_private_network_namespace(std::string& why) {
    if (unshare(CLONE_NEWNET) != 0) {
        why = errno_text("unshare(CLONE_NEWNET)");
        return false;
    }
    return set_loopback(true, why);
}

bool set_loopback(bool up, std::string& why) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = errno_text("socket");
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        if (up) {
            request.ifr_flags |= IFF_UP;
        } else {
            request.ifr_flags &= ~IFF_UP;
        }
        ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok) why = errno_text("ioctl(lo)");
    close(fd);
    return ok;
}

long unacknowledged_bytes(int port) {
    // One line per socket: "sl local rem st tx_queue:rx_queue ...", addresses and numbers in hex.
    std::ifstream table("/proc/thread-self/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    long bytes = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues;
        fields >> slot >> local >> remote >> state >> queues;
        const auto port_of = [](const std::string& address) {
            return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
        };
        const bool established = state == "01";
        if (established && (port_of(local) == port || port_of(remote) == port)) {
            bytes += std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
        }
    }
    return bytes;
}

NamespaceRelay::NamespaceRelay(int upstream_port) : upstream_port(upstream_port) {
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error(errno_text("pipe2"));
    thread = std::thread([this] { run(); });
}

NamespaceRelay::~NamespaceRelay() {
    stopping = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = write(wake[1], &byte, 1);
    thread.join();
    if (listener >= 0) close(listener);
    close(wake[0]);
    close(wake[1]);
}

int NamespaceRelay::listen_here() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(fd, 128) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        throw std::runtime_error(errno_text("relay listener"));
    }
    listener = fd;
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = write(wake[1], &byte, 1);
    return ntohs(address.sin_port);
}

bool NamespaceRelay::drop_all(std::chrono::milliseconds limit) {
    dropping = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = write(wake[1], &byte, 1);
    return wait_until([this] { return !dropping; }, limit);
}

// One poll loop: accepts in the listener's namespace, connects upstream from this thread's.
void NamespaceRelay::run() {
    std::map<int, int> peer;  // both directions: client -> server and server -> client
    auto close_pair = [&](int fd) {
        const int other = peer[fd];
        close(fd);
        close(other);
        peer.erase(fd);
        peer.erase(other);
    };
    std::vector<char> buffer(64 * 1024);
    while (!stopping) {
        const int listening = listener.load();
        std::vector<pollfd> fds{{wake[0], POLLIN, 0}};
        if (listening >= 0) fds.push_back({listening, POLLIN, 0});
        for (const auto& [fd, other] : peer) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 100) <= 0) continue;
        if (fds[0].revents) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (dropping) {
            while (!peer.empty()) close_pair(peer.begin()->first);
            dropping = false;
            continue;
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == listening) {
                const int client = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(static_cast<std::uint16_t>(upstream_port));
                if (server < 0 ||
                    connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                    close(client);
                    if (server >= 0) close(server);
                    continue;
                }
                peer[client] = server;
                peer[server] = client;
                ++accepted;
                continue;
            }
            if (peer.count(fds[i].fd) == 0) continue;
            const ssize_t got = read(fds[i].fd, buffer.data(), buffer.size());
            if (got <= 0) {
                close_pair(fds[i].fd);
                continue;
            }
            // Blocking write: a silent peer stalls the relay only once its socket buffer is
            // full, far beyond what the tests send.
            const int target = peer[fds[i].fd];
            ssize_t done = 0;
            while (done < got) {
                const ssize_t sent = send(target, buffer.data() + done, got - done, MSG_NOSIGNAL);
                if (sent <= 0) break;
                done += sent;
            }
        }
    }
    while (!peer.empty()) close_pair(peer.begin()->first);
}

}  // namespace vantrel::test
