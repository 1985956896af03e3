#include "oauth/OAuthSignIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits are cut into steps of this, so that cancelling is seen soon.
constexpr milliseconds kWaitStep{100};
constexpr std::size_t kMaxRedirectHead = 8192;
constexpr std::size_t kPkceVerifierBytes = 32;  // 43 characters
constexpr std::size_t kStateBytes = 16;

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load();
}

// Sleeps until when, or until cancelled; false when cancelled.
bool SleepUntil(Clock::time_point when, const std::atomic<bool>* cancel) {
    while (Clock::now() < when) {
        if (Cancelled(cancel)) {
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(kWaitStep, when - Clock::now()));
    }
    return !Cancelled(cancel);
}

long MillisecondsLeft(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
    return std::clamp<long>(left, 1, COAuthSignIn::kRequestTimeoutMs);
}

// base64url without padding (RFC 4648 section 5), as PKCE and state take it.
std::string Base64Url(const unsigned char* data, std::size_t size) {
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
                                  static_cast<int>(size));
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    while (!out.empty() && out.back() == '=') {
        out.pop_back();
    }
    std::replace(out.begin(), out.end(), '+', '-');
    std::replace(out.begin(), out.end(), '/', '_');
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The query of "GET /path?query HTTP/1.1", split into its fields (the first of a
// name wins); nothing when the line is no GET.
std::optional<std::map<std::string, std::string>> QueryOf(std::string_view line) {
    if (!line.starts_with("GET /")) {
        return std::nullopt;
    }
    const std::size_t end = line.find(' ', 4);
    std::string_view target = line.substr(4, end == std::string_view::npos ? line.npos : end - 4);
    std::map<std::string, std::string> fields;
    const std::size_t question = target.find('?');
    if (question == std::string_view::npos) {
        return fields;
    }
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t equals = pair.find('=');
        fields.emplace(PercentDecoded(pair.substr(0, equals)),
                       equals == std::string_view::npos ? std::string()
                                                        : PercentDecoded(pair.substr(equals + 1)));
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    }
    return fields;
}

// Reads a request head from a fresh connection, within kRedirectHeadTimeout and
// kMaxRedirectHead bytes; returns its first line, empty when none came in time.
std::string ReadRequestLine(int fd) {
    const auto end = Clock::now() + COAuthSignIn::kRedirectHeadTimeout;
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRedirectHead) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            return {};
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {};
        }
        char buffer[1024];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        head.append(buffer, static_cast<std::size_t>(n));
    }
    return head.substr(0, head.find("\r\n"));
}

void Answer(int fd, std::string_view status, std::string_view text) {
    const std::string page =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>tallwyn"
        "</title></head><body><p>" +
        std::string(text) + "</p></body></html>";
    const std::string reply = "HTTP/1.1 " + std::string(status) +
                              "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                              std::to_string(page.size()) +
                              "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n" + page;
    // A small answer to a peer on this machine: one try, never a wait.
    [[maybe_unused]] const ssize_t sent =
        send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

class CListener {
public:
    CListener() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~CListener() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    CListener(const CListener&) = delete;
    CListener& operator=(const CListener&) = delete;

    // Listens on 127.0.0.1 at a port the system picks; 0 on failure.
    int Listen() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_fd, SOMAXCONN) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return 0;
        }
        return ntohs(address.sin_port);
    }
    int Fd() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::string COAuthSignIn::RandomToken(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) {
        return {};
    }
    return Base64Url(random.data(), random.size());
}

std::string COAuthSignIn::CodeChallenge(const std::string& verifier) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return Base64Url(digest, length);
}

COAuthSignIn::Result COAuthSignIn::Run(milliseconds limit, const PromptFn& prompt,
                                       const std::atomic<bool>* cancel) const {
    const auto end = Clock::now() + limit;
    return m_client.Endpoints().deviceUrl.empty() ? RunLoopback(end, prompt, cancel)
                                                  : RunDevice(end, prompt, cancel);
}

COAuthSignIn::Result COAuthSignIn::RunDevice(Clock::time_point end, const PromptFn& prompt,
                                             const std::atomic<bool>* cancel) const {
    Result result;
    const COAuthDeviceReply device = m_client.RequestDeviceCode(MillisecondsLeft(end));
    if (!device.ok) {
        result.error = "the device authorization was refused: " + device.error +
                       (device.description.empty() ? "" : " (" + device.description + ")");
        return result;
    }
    COAuthPrompt shown;
    shown.url = device.verificationUri;
    shown.userCode = device.userCode;
    shown.deviceFlow = true;
    prompt(shown);

    end = std::min(end, Clock::now() + std::chrono::seconds(device.expiresIn));
    std::chrono::seconds interval(device.interval);
    for (;;) {
        const auto next = Clock::now() + interval;
        if (next >= end) {
            result.error = "the code expired before the sign-in was done";
            return result;
        }
        if (!SleepUntil(next, cancel)) {
            result.error = "cancelled";
            return result;
        }
        const COAuthTokenReply reply =
            m_client.PollDeviceToken(device.deviceCode, MillisecondsLeft(end));
        switch (reply.kind) {
            case COAuthTokenReply::kPending:
                continue;
            case COAuthTokenReply::kSlowDown:
                interval += kSlowDownStep;
                continue;
            case COAuthTokenReply::kToken:
                if (reply.refreshToken.empty()) {
                    result.error =
                        "the provider gave no refresh token (does the scope ask for "
                        "offline access?)";
                    return result;
                }
                result.ok = true;
                result.refreshToken = reply.refreshToken;
                return result;
            case COAuthTokenReply::kError:
                if (reply.error == "expired_token") {
                    result.error = "the code expired before the sign-in was done";
                } else if (reply.error == "access_denied") {
                    result.error = "the sign-in was declined";
                } else {
                    result.error =
                        "the token endpoint refused: " + reply.error +
                        (reply.description.empty() ? "" : " (" + reply.description + ")");
                }
                return result;
        }
    }
}

COAuthSignIn::Result COAuthSignIn::RunLoopback(Clock::time_point end, const PromptFn& prompt,
                                               const std::atomic<bool>* cancel) const {
    Result result;
    const COAuthEndpoints& endpoints = m_client.Endpoints();
    if (endpoints.authorizeUrl.empty()) {
        result.error = "the provider has no authorization address";
        return result;
    }
    const std::string why = COAuthEndpoints::CheckUrl(endpoints.authorizeUrl);
    if (!why.empty()) {
        result.error = "the authorization address: " + why;
        return result;
    }
    CListener listener;
    const int port = listener.Listen();
    if (port == 0) {
        result.error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        return result;
    }
    const std::string verifier = RandomToken(kPkceVerifierBytes);
    const std::string state = RandomToken(kStateBytes);
    if (verifier.empty() || state.empty()) {
        result.error = "no random numbers for the sign-in";
        return result;
    }
    const std::string redirect = "http://127.0.0.1:" + std::to_string(port) + "/";
    COAuthPrompt shown;
    shown.url = endpoints.authorizeUrl +
                (endpoints.authorizeUrl.find('?') == std::string::npos ? "?" : "&") +
                COAuthHttp::FormEncode({{"response_type", "code"},
                                        {"client_id", endpoints.clientId},
                                        {"redirect_uri", redirect},
                                        {"scope", endpoints.scope},
                                        {"state", state},
                                        {"code_challenge", CodeChallenge(verifier)},
                                        {"code_challenge_method", "S256"}}) +
                (endpoints.authorizeExtra.empty() ? "" : "&" + endpoints.authorizeExtra);
    prompt(shown);

    while (!Cancelled(cancel)) {
        const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            result.error = "no sign-in came back in time";
            return result;
        }
        pollfd p{listener.Fd(), POLLIN, 0};
        const int ready =
            poll(&p, 1, static_cast<int>(std::min<milliseconds>(left, kWaitStep).count()));
        if (ready <= 0) {
            continue;
        }
        const int fd = accept4(listener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        const std::string line = ReadRequestLine(fd);
        const auto query = QueryOf(line);
        // Only the browser that went through the provider knows the state: anything
        // else (another page, a guess, a flood) is turned away and the wait goes on.
        if (!query || query->find("state") == query->end() || query->at("state") != state) {
            Answer(fd, "400 Bad Request", "This is not the sign-in tallwyn is waiting for.");
            close(fd);
            continue;
        }
        if (const auto error = query->find("error"); error != query->end()) {
            Answer(fd, "200 OK", "The sign-in did not succeed; see the terminal.");
            close(fd);
            std::string code = error->second.substr(0, 64);
            std::replace_if(
                code.begin(), code.end(), [](char c) { return c <= ' ' || c >= 0x7F; }, '?');
            result.error = "the provider refused the sign-in: " + code;
            return result;
        }
        const auto code = query->find("code");
        if (code == query->end() || code->second.empty()) {
            Answer(fd, "400 Bad Request", "The answer carries no code.");
            close(fd);
            continue;
        }
        // The browser waits for the exchange, so that its page tells the outcome.
        const COAuthTokenReply reply =
            m_client.ExchangeCode(code->second, verifier, redirect, MillisecondsLeft(end));
        if (reply.kind != COAuthTokenReply::kToken) {
            result.error = "the token endpoint refused: " + reply.error +
                           (reply.description.empty() ? "" : " (" + reply.description + ")");
        } else if (reply.refreshToken.empty()) {
            result.error =
                "the provider gave no refresh token (does the scope ask for offline "
                "access?)";
        } else {
            result.ok = true;
            result.refreshToken = reply.refreshToken;
        }
        Answer(fd, "200 OK",
               result.ok ? "Signed in. You may close this window."
                         : "The sign-in did not succeed; see the terminal.");
        close(fd);
        return result;
    }
    result.error = "cancelled";
    return result;
}
