// How fast ReceiveUntil hands out 80-byte lines into a 65536-byte buffer (the POP3 reply
// buffer), next to plain reads of the same stream in 65536-byte blocks. The read-ahead
// should keep the line reader within a small factor of the plain reads.

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "transport/BlockingSocket.h"

namespace {

constexpr std::size_t kLineLength = 80;
constexpr std::size_t kLinesPerIteration = 16384;  // 1.25 MiB a round
constexpr std::size_t kBytesPerIteration = kLineLength * kLinesPerIteration;
constexpr int kBufferSize = 65536;
constexpr int kTimeoutMs = 30000;

// A socket pair whose far end a thread keeps filling with 80-byte CR LF lines until
// the near end is shut down.
class LineFeed {
public:
    LineFeed() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            return;
        }
        m_reader = fds[0];
        m_writer = fds[1];
        std::string line(kLineLength - 2, 'm');
        line += "\r\n";
        std::string block;
        while (block.size() + kLineLength <= 65536) {
            block += line;
        }
        m_thread = std::thread([this, block] {
            for (;;) {
                const ssize_t n = send(m_writer, block.data(), block.size(), MSG_NOSIGNAL);
                if (n < 0) {
                    return;  // the reader has gone
                }
            }
        });
    }
    ~LineFeed() {
        shutdown(m_reader, SHUT_RDWR);
        if (m_thread.joinable()) {
            m_thread.join();
        }
        close(m_reader);
        close(m_writer);
    }
    LineFeed(const LineFeed&) = delete;
    LineFeed& operator=(const LineFeed&) = delete;

    int Reader() const { return m_reader; }

private:
    int m_reader = -1;
    int m_writer = -1;
    std::thread m_thread;
};

void BM_ReceiveUntil80ByteLines(benchmark::State& state) {
    LineFeed feed;
    CBlockingSocket socket(feed.Reader());
    std::vector<char> buffer(kBufferSize);
    for (auto _ : state) {
        for (std::size_t i = 0; i < kLinesPerIteration; ++i) {
            const int n = socket.ReceiveUntil(buffer.data(), kBufferSize, 0, kTimeoutMs, '\n');
            if (n != static_cast<int>(kLineLength)) {
                state.SkipWithError("a line came back with the wrong length");
                return;
            }
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerIteration));
}
BENCHMARK(BM_ReceiveUntil80ByteLines)->UseRealTime();

void BM_PlainReadInBlocks(benchmark::State& state) {
    LineFeed feed;
    std::vector<char> buffer(kBufferSize);
    for (auto _ : state) {
        std::size_t left = kBytesPerIteration;
        while (left > 0) {
            const std::size_t want = left < buffer.size() ? left : buffer.size();
            const ssize_t n = read(feed.Reader(), buffer.data(), want);
            if (n <= 0) {
                state.SkipWithError("the stream ended");
                return;
            }
            left -= static_cast<std::size_t>(n);
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytesPerIteration));
}
BENCHMARK(BM_PlainReadInBlocks)->UseRealTime();

}  // namespace
