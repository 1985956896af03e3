#include "gateway/RefusalThrottle.h"

#include <algorithm>

void CRefusalThrottle::SetMaxRefusals(int maxRefusals) {
    const std::lock_guard lock(m_mutex);
    m_maxRefusals = std::clamp(maxRefusals, 0, kMostMaxRefusals);
    if (m_maxRefusals == 0) {
        m_entries.clear();
    }
}

int CRefusalThrottle::MaxRefusals() const {
    const std::lock_guard lock(m_mutex);
    return m_maxRefusals;
}

CRefusalThrottle::Verdict CRefusalThrottle::Check(const IpAddress& address, Clock::time_point now) {
    const std::lock_guard lock(m_mutex);
    const auto found = m_entries.find(address);
    if (found == m_entries.end() || now >= found->second.blockedUntil) {
        return kServe;
    }
    CEntry& entry = found->second;
    entry.lastSeen = now;
    if (entry.dropLogged) {
        return kDrop;
    }
    entry.dropLogged = true;
    return kDropFirst;
}

void CRefusalThrottle::NoteRefusal(const IpAddress& address, Clock::time_point now) {
    const std::lock_guard lock(m_mutex);
    if (m_maxRefusals == 0) {
        return;
    }
    if (m_entries.size() >= kMaxAddresses && !m_entries.contains(address)) {
        MakeRoom();
    }
    CEntry& entry = m_entries[address];
    entry.lastSeen = now;
    auto& times = entry.refusals;
    times.erase(times.begin(), std::find_if(times.begin(), times.end(),
                                            [&](auto at) { return now - at < kWindow; }));
    times.push_back(now);
    if (times.size() >= static_cast<std::size_t>(m_maxRefusals)) {
        times.clear();
        entry.blockedUntil = now + kWindow;
        entry.dropLogged = false;
    }
}

void CRefusalThrottle::MakeRoom() {
    const auto oldest = std::min_element(
        m_entries.begin(), m_entries.end(),
        [](const auto& a, const auto& b) { return a.second.lastSeen < b.second.lastSeen; });
    if (oldest != m_entries.end()) {
        m_entries.erase(oldest);
    }
}
