#include "gateway/Pop3Pipeline.h"

void CPop3Pipeline::Enable(std::size_t maxBytes) {
    m_enabled = true;
    m_maxBytes = maxBytes;
}

bool CPop3Pipeline::Fits(std::size_t bytes) const {
    if (m_sizes.empty()) {
        return true;
    }
    return m_enabled && m_bytes + bytes <= m_maxBytes;
}

void CPop3Pipeline::Queue(std::string_view command) {
    m_sizes.push_back(command.size());
    m_bytes += command.size();
    m_queued += command;
}

std::string CPop3Pipeline::TakeQueued() {
    std::string out;
    out.swap(m_queued);
    return out;
}

void CPop3Pipeline::Answered() {
    if (!m_sizes.empty()) {
        m_bytes -= m_sizes.front();
        m_sizes.pop_front();
    }
}

void CPop3Pipeline::Reset() {
    *this = CPop3Pipeline();
}
