#include "Loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

namespace loopback {

namespace {

sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// Descriptor number → what it refers to, from /proc (the directory's own handle left
// out when the process reads itself).
std::map<int, std::string> OpenDescriptors(pid_t pid) {
    const std::string path = pid == 0 ? "/proc/self/fd" : "/proc/" + std::to_string(pid) + "/fd";
    std::map<int, std::string> descriptors;
    if (DIR* dir = ::opendir(path.c_str())) {
        const int own = ::dirfd(dir);
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.' || (pid == 0 && std::atoi(entry->d_name) == own)) {
                continue;
            }
            char target[256] = {};
            const std::string link = path + "/" + entry->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            descriptors[std::atoi(entry->d_name)] = n > 0 ? std::string(target, n) : "?";
        }
        ::closedir(dir);
    }
    return descriptors;
}

}  // namespace

// Ports below the kernel's range for automatic ports: no outgoing connection and no
// bind to port 0 ever takes one of them, so between this probe and its use only
// another explicit pick could take the port, and the pick is random.
int UnusedPort() {
    int automaticLow = 32768;
    if (std::FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d", &automaticLow) != 1) {
            automaticLow = 32768;
        }
        std::fclose(range);
    }
    const int low = 10000;
    const int high = std::max(low + 1000, automaticLow) - 1;
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(low, high);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int port = pick(random);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return 0;
        }
        const sockaddr_in address = LoopbackAddress(port);
        const bool free =
            ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) {
            return port;
        }
    }
    return 0;
}

int Listen(int& port, int backlog) {
    port = 0;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = LoopbackAddress(port);
    if (fd >= 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Accepts(int port) {
    const int fd = Connect(port);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

int OpenDescriptorCount(pid_t pid) {
    return static_cast<int>(OpenDescriptors(pid).size());
}

std::string OpenDescriptorListing(pid_t pid) {
    std::string listing;
    for (const auto& [number, target] : OpenDescriptors(pid)) {
        listing += std::to_string(number) + " -> " + target + "\n";
    }
    return listing;
}

}  // namespace loopback
