#pragma once

#include <sys/types.h>
#include <string>
#include <string_view>

// Small socket and process helpers the tests share. Every address is 127.0.0.1.
namespace loopback {

// A loopback port nobody uses right now, outside the range the kernel hands out
// by itself (0 when none is found).
int UnusedPort();
// Whether something accepts connections on the port.
bool Accepts(int port);
// A socket listening on 127.0.0.1 at a port the system picks, or -1; port gets the
// port (0 on failure).
int Listen(int& port, int backlog = 8);
// A connected socket, or -1.
int Connect(int port);
// Sends all of bytes without raising SIGPIPE; false when the peer has gone.
bool SendAll(int fd, std::string_view bytes);
// The open file descriptors of a process (this one by default), from /proc.
int OpenDescriptorCount(pid_t pid = 0);
// The same descriptors, one per line as "number -> what it refers to", in order of number.
// Comparing two listings shows which descriptor came or went.
std::string OpenDescriptorListing(pid_t pid = 0);

}  // namespace loopback
