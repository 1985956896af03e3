#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "gateway/TrustedProxies.h"

// Slows the guessing of public passwords: an address that has had kMaxRefusals wrong
// passwords within kWindow gets its connections closed unanswered for the next
// kWindow, whatever they ask for. Other refusals (a favicon, a disabled setting) do not
// count: they tell a guesser nothing. Safe to use from several threads at once.
class CRefusalThrottle {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr int kDefaultMaxRefusals = 10;
    // Higher limits are no use against guessing and would only cost memory.
    static constexpr int kMostMaxRefusals = 1000;
    static constexpr std::chrono::seconds kWindow{60};
    // Addresses remembered at most; the one heard from longest ago makes way.
    static constexpr std::size_t kMaxAddresses = 4096;

    enum Verdict { kServe, kDropFirst, kDrop };

    // 0 turns throttling off (behind a reverse proxy every client has its address);
    // values are kept within 0 .. kMostMaxRefusals.
    void SetMaxRefusals(int maxRefusals);
    int MaxRefusals() const;

    // What to do with a new connection from address (the peer's, or the client's
    // behind a trusted proxy): kDropFirst for the first connection dropped in a
    // blocked period (worth a log line), kDrop for the rest of them.
    Verdict Check(const IpAddress& address, Clock::time_point now);
    // Counts a wrong password from address.
    void NoteRefusal(const IpAddress& address, Clock::time_point now);

private:
    struct CEntry {
        std::vector<Clock::time_point> refusals;  // within the window, oldest first
        Clock::time_point blockedUntil{};
        Clock::time_point lastSeen{};
        bool dropLogged = false;
    };

    void MakeRoom();

    struct CHash {
        std::size_t operator()(const IpAddress& address) const {
            return std::hash<std::string_view>()(
                std::string_view(reinterpret_cast<const char*>(address.data()), address.size()));
        }
    };

    mutable std::mutex m_mutex;
    int m_maxRefusals = kDefaultMaxRefusals;
    std::unordered_map<IpAddress, CEntry, CHash> m_entries;
};
