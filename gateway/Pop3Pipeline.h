#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

// Keeps a POP3 session's commands in order when they go out ahead of their answers
// (PIPELINING, RFC 2449). The dialogue stays a sequence of "send this, read that":
// Queue puts a command in line, TakeQueued hands over what is to be written now (in
// one write), and Answered marks the oldest command's answer as begun. Only this
// object knows how far ahead the sending runs. Knows nothing of sockets.
//
// Unanswered commands are bounded in bytes: they must fit the socket's send buffer
// (with the server's own buffers behind it), so that a write never waits on a server
// that itself waits for its answers to be read.
class CPop3Pipeline {
public:
    // Lets commands go ahead of their answers, up to maxBytes unanswered.
    void Enable(std::size_t maxBytes);
    bool Enabled() const { return m_enabled; }

    // Whether a command of bytes may be queued now: always when none is unanswered;
    // otherwise only with pipelining and within the bound.
    bool Fits(std::size_t bytes) const;

    void Queue(std::string_view command);
    // The commands queued since the last call, to be written at once; empty when none.
    std::string TakeQueued();
    // The oldest unanswered command has its answer's first line read.
    void Answered();
    // Commands queued or sent whose answers have not begun.
    std::size_t Unanswered() const { return m_sizes.size(); }

    // Forgets everything: a new connection.
    void Reset();

private:
    bool m_enabled = false;
    std::size_t m_maxBytes = 0;
    std::deque<std::size_t> m_sizes;  // each unanswered command's bytes, oldest first
    std::size_t m_bytes = 0;          // their sum
    std::string m_queued;
};
