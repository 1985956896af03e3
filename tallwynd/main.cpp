// tallwynd: the headless server. Serves the list and single-mail pages of settings 1
// and 2 without a window, and shows and changes those settings from the command line.

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mime/Codepage.h"
#include "settings/Profile.h"
#include "settings/Setting.h"
#include "tallwynd/RequestLog.h"
#include "tallwynd/Server.h"
#include "tallwynd/SettingEditor.h"
#include "transport/Address.h"
#include "transport/TlsServerContext.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kDefaultPort = 8080;
constexpr int kNoPort = CServer::kNoPort;
// Malloc arenas shared by all request workers.
constexpr int kMallocArenas = 2;

void Complain(const std::string& message) {
    std::cerr << "tallwynd: " << message << std::endl;
}

constexpr double kDefaultTimeoutSeconds = kTimeoutMs / 1000.0;

void Warn(const std::string& message) {
    Complain("warning: " + message);
}

// An enabled setting without a public password serves its mailbox to whoever asks.
void WarnIfOpen(const CSetting& setting, int number) {
    if (setting.ENABLE && setting.WEB_PASS.empty()) {
        char path[8];
        std::snprintf(path, sizeof path, "/%03d", number);
        Warn("setting " + std::to_string(number) +
             " is enabled with an empty WEB_PASS: anyone who can reach the port can read its "
             "mailbox at " +
             path + "toplist");
    }
}

// The file holds the passwords, scrambled but not encrypted.
void WarnIfReadableByOthers(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        Warn(path + " is readable by group or others (mode " + mode +
             ") and holds the scrambled passwords; chmod 600 it");
    }
}

std::string SettingsPath(const std::string& option) {
    return option.empty() ? ExecutableDir() + kSettingsFileName : option;
}

// False when the file exists but cannot be read: its settings would silently turn
// into defaults, and a save would then overwrite them.
bool ReadableOrAbsent(const std::string& path) {
    if (access(path.c_str(), F_OK) != 0) {
        return true;
    }
    std::ifstream file(path);
    if (!file) {
        Complain("cannot read " + path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

// One line from standard input, without echo when it is a terminal.
std::optional<std::string> ReadSecretLine(const std::string& prompt) {
    const bool terminal = isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        std::cerr << prompt << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << std::endl;
    }
    if (!got && line.empty()) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

int ShowCommand(const std::string& path, int number) {
    if (number != 0 && !IsSettingInUse(number)) {
        Complain("there is no setting " + std::to_string(number) + "; use 1 or 2");
        return kExitUsage;
    }
    if (!ReadableOrAbsent(path)) {
        return kExitFailure;
    }
    if (access(path.c_str(), F_OK) != 0) {
        Complain(path + " does not exist yet; these are the defaults");
    }
    WarnIfReadableByOthers(path);
    CProfile profile(path);
    for (int n = SETTING_FIRST; n <= SETTING_LAST; ++n) {
        if (number != 0 && n != number) {
            continue;
        }
        CSetting setting;
        setting.Load(profile, n);
        std::cout << (n > SETTING_FIRST && number == 0 ? "\n" : "") << "Setting " << n << " ["
                  << CSetting::SectionName(n) << "]\n"
                  << CSettingEditor::Show(setting) << CSettingEditor::ShowTransport(setting);
        WarnIfOpen(setting, n);
    }
    return 0;
}

int SetCommand(const std::string& path, int number, const std::vector<std::string>& assignments) {
    if (!IsSettingInUse(number)) {
        Complain("there is no setting " + std::to_string(number) + "; use 1 or 2");
        return kExitUsage;
    }
    // Check every argument before anything is read from standard input.
    std::vector<std::pair<std::string, std::string>> changes;
    for (const auto& text : assignments) {
        std::string_view key, value;
        if (!CSettingEditor::SplitAssignment(text, key, value)) {
            Complain("\"" + text + "\" is not KEY=VALUE");
            return kExitUsage;
        }
        auto canonical = CSettingEditor::CanonicalKey(key);
        if (!canonical) {
            CSetting scratch;
            Complain(CSettingEditor(scratch).Set(key, value));
            return kExitUsage;
        }
        changes.emplace_back(*canonical, value);
    }
    if (!ReadableOrAbsent(path)) {
        return kExitFailure;
    }

    CProfile profile(path);
    CSetting setting;
    setting.Load(profile, number);
    CSettingEditor editor(setting);
    for (auto& [key, value] : changes) {
        if (value == "-" && CSettingEditor::IsPasswordKey(key)) {
            auto line = ReadSecretLine(key + " of setting " + std::to_string(number) + ": ");
            if (!line) {
                Complain(key + ": no line on standard input");
                return kExitUsage;
            }
            value = std::move(*line);
        }
        std::string problem = editor.Set(key, value);
        if (!problem.empty()) {
            Complain(problem + "; nothing was saved");
            return kExitUsage;
        }
    }
    const bool existed = access(path.c_str(), F_OK) == 0;
    if (!setting.Save(profile)) {
        Complain("could not write " + path + "; nothing was saved");
        return kExitFailure;
    }
    if (!existed) {
        // A file made here is the owner's alone: it holds the passwords.
        chmod(path.c_str(), S_IRUSR | S_IWUSR);
    }
    std::cout << "tallwynd: saved setting " << number << " in " << path << std::endl;
    WarnIfOpen(setting, number);
    WarnIfReadableByOthers(path);
    return 0;
}

// The dotted IPv4 address of a --bind value, which may be a host name.
std::optional<std::string> ResolveBindAddress(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    auto* address = reinterpret_cast<sockaddr_in*>(found->ai_addr);
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    freeaddrinfo(found);
    return std::string(text);
}

std::string ListenFailure(int error, int port, const std::string& address,
                          const std::string& option) {
    const std::string where = (address.empty() ? "" : address + ":") + std::to_string(port);
    switch (error) {
        case EADDRINUSE:
            return "port " + std::to_string(port) + " is already in use" +
                   (address.empty() ? "" : " on " + address) + "; choose another with " + option;
        case EACCES:
            return "no permission to listen on " + where +
                   " (ports below 1024 need privileges); choose another with " + option;
        case EADDRNOTAVAIL:
            return address + " is not an address of this machine; check --bind";
        default:
            return "cannot listen on " + where + ": " + std::strerror(error);
    }
}

struct CServeOptions {
    std::string bind;
    int port = kDefaultPort;
    double timeoutSeconds = kDefaultTimeoutSeconds;
    int maxConnections = CServer::kDefaultMaxConnections;
    int maxRefusals = CRefusalThrottle::kDefaultMaxRefusals;
    int httpsPort = kNoPort;
    std::string tlsCert;
    std::string tlsKey;
    bool noHttp = false;
    std::vector<std::string> trustedProxies;
};

// What is wrong with the HTTPS and proxy options taken together, or an empty text.
std::string CheckServeOptions(const CServeOptions& options, CTrustedProxies& proxies) {
    const bool https = options.httpsPort != kNoPort;
    if (https && (options.tlsCert.empty() || options.tlsKey.empty())) {
        return "--https-port needs --tls-cert FILE and --tls-key FILE";
    }
    if (!https && (!options.tlsCert.empty() || !options.tlsKey.empty())) {
        return "--tls-cert and --tls-key are for --https-port N";
    }
    if (options.noHttp && !https) {
        return "--no-http leaves nothing to serve without --https-port";
    }
    if (https && !options.noHttp && options.port == options.httpsPort && options.port != 0) {
        return "--port and --https-port are both " + std::to_string(options.port);
    }
    for (const std::string& range : options.trustedProxies) {
        if (!proxies.Add(range)) {
            return "--trusted-proxy " + range + " is not ADDRESS or ADDRESS/BITS (IPv4 or IPv6)";
        }
    }
    return {};
}

void PrintServing(const char* scheme, const std::string& host, int port) {
    std::cout << "tallwynd: serving " << scheme << "://" << host << ":" << port
              << "/001XXXXXXtoplist (001 or 002: the setting, XXXXXX: its public password)"
              << std::endl;
}

int ServeCommand(const std::string& path, const CServeOptions& options) {
    const std::string& bind = options.bind;
    const int port = options.noHttp ? kNoPort : options.port;
    CTrustedProxies proxies;
    if (const std::string problem = CheckServeOptions(options, proxies); !problem.empty()) {
        Complain(problem);
        return kExitUsage;
    }
    // Read before anything listens: a pair that cannot serve stops the start.
    CTlsServerContext tls;
    if (options.httpsPort != kNoPort) {
        if (const std::string problem = tls.Load(options.tlsCert, options.tlsKey);
            !problem.empty()) {
            Complain(problem);
            return kExitFailure;
        }
    }
    std::optional<std::string> address;
    if (!bind.empty()) {
        address = ResolveBindAddress(bind);
        if (!address) {
            Complain("cannot find the address of --bind " + bind);
            return kExitFailure;
        }
    }
    if (!ReadableOrAbsent(path)) {
        return kExitFailure;
    }
    const bool fileExists = access(path.c_str(), F_OK) == 0;

    auto settings = std::make_unique<CSettingTable>();
    CProfile profile(path);
    for (int n = SETTING_FIRST; n <= SETTING_LAST; ++n) {
        (*settings)[n].Load(profile, n);
    }

    std::signal(SIGPIPE, SIG_IGN);
    // Every worker thread would otherwise get a malloc arena of its own, each keeping
    // what a large page left in it, so that memory grew with the number of workers.
    mallopt(M_ARENA_MAX, kMallocArenas);
    CServer server(*settings);
    server.Listener().SetTimeout(static_cast<int>(options.timeoutSeconds * 1000));
    server.Listener().SetMaxRefusals(options.maxRefusals);
    server.Listener().SetTrustedProxies(proxies);
    // Requests end side by side; each line goes out whole.
    static std::mutex logMutex;
    server.Listener().m_onServed = [](const CRequestRecord& record) {
        std::string line =
            CRequestLog::FormatLine(record, CRequestLog::TimeText(std::time(nullptr)));
        const std::lock_guard lock(logMutex);
        std::cerr << line << std::endl;
    };
    server.Listener().m_onAcceptError = [](int error) {
        Complain(std::string("accepting a connection failed: ") + std::strerror(error));
    };
    // A renewed certificate is read on SIGHUP; a pair that does not load leaves the
    // one in use.
    server.m_onReload = [&tls, &options] {
        std::string line;
        if (options.httpsPort == kNoPort) {
            line = "SIGHUP: nothing to read again without --https-port";
        } else if (const std::string problem = tls.Load(options.tlsCert, options.tlsKey);
                   problem.empty()) {
            line = "SIGHUP: read " + options.tlsCert + " and " + options.tlsKey +
                   " again; new connections get them";
        } else {
            line = "SIGHUP: " + problem + "; the certificate in use is kept";
        }
        const std::lock_guard lock(logMutex);
        Complain(line);
    };
    int error = server.Start(port, address ? address->c_str() : nullptr, options.maxConnections,
                             options.httpsPort, &tls);
    if (error != 0) {
        const bool onHttps = server.FailedOnHttps();
        Complain(ListenFailure(error, onHttps ? options.httpsPort : port,
                               address ? *address : std::string(),
                               onHttps ? "--https-port" : "--port"));
        return kExitFailure;
    }

    std::string host = bind;
    if (host.empty()) {
        char name[256] = {};
        host = gethostname(name, sizeof name - 1) == 0 && name[0] != '\0' ? name : "localhost";
    }
    if (port != kNoPort) {
        PrintServing("http", host, server.Port());
    }
    if (options.httpsPort != kNoPort) {
        PrintServing("https", host, server.HttpsPort());
    }
    if (!fileExists) {
        Complain(path + " does not exist; both settings are off until set with 'tallwynd set'");
    } else if (!(*settings)[1].ENABLE && !(*settings)[2].ENABLE) {
        Complain("neither setting is enabled (tallwynd set N ENABLE=1); every request is refused");
    }
    for (int n = SETTING_FIRST; n <= SETTING_LAST; ++n) {
        WarnIfOpen((*settings)[n], n);
    }

    error = server.Run();
    if (error != 0) {
        Complain(std::string("serving stopped: ") + std::strerror(error));
        return kExitFailure;
    }
    Complain("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app(
        "Serves the mail of two POP3 mailboxes as plain web pages, without a window.\n"
        "Without a command it serves until SIGINT or SIGTERM; SIGHUP reads the HTTPS\n"
        "certificate and key again.",
        "tallwynd");
    app.set_version_flag("--version", "tallwynd " TALLWYN_VERSION);
    app.footer(
        "Settings are kept in tallwyn.stp beside the executable, as the window keeps them.\n"
        "Examples:\n"
        "  tallwynd set 1 MAIL_SERVER=pop.example.jp:110 MAIL_ACCOUNT=taro MAIL_PASS=- \\\n"
        "               WEB_PASS=- ENABLE=1\n"
        "  tallwynd --port 8080\n"
        "  tallwynd --https-port 8443 --tls-cert fullchain.pem --tls-key privkey.pem");

    std::string settingsFile;
    CServeOptions serve;
    const std::string settingsHelp = "settings file (default: tallwyn.stp beside the executable)";
    app.add_option("--settings", settingsFile, settingsHelp)->type_name("FILE");
    app.add_option("--bind", serve.bind, "address to listen on (default: all)")
        ->type_name("ADDRESS");
    app.add_option("--port", serve.port, "port to listen on, 0 for any free one (default: 8080)")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxPort));
    app.add_option("--timeout", serve.timeoutSeconds,
                   "bound of each wait for a browser or mail server; a request head must "
                   "arrive within one, a whole request ends within four (default: 30)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.01, 3600.0));
    app.add_option("--max-connections", serve.maxConnections,
                   "requests served at once; more wait their turn (default: 32)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024));
    app.add_option("--max-refusals", serve.maxRefusals,
                   "wrong passwords from one address within 60 s before its connections are "
                   "closed unanswered for 60 s; 0 turns this off (default: 10)")
        ->type_name("N")
        ->check(CLI::Range(0, CRefusalThrottle::kMostMaxRefusals));
    app.add_option("--https-port", serve.httpsPort,
                   "also serve the pages over HTTPS on this port, 0 for any free one")
        ->type_name("N")
        ->check(CLI::Range(0, kMaxPort));
    app.add_option("--tls-cert", serve.tlsCert,
                   "PEM certificate for HTTPS, followed by its chain (certbot's fullchain.pem)")
        ->type_name("FILE");
    app.add_option("--tls-key", serve.tlsKey,
                   "PEM private key of --tls-cert, without a pass phrase (certbot's privkey.pem); "
                   "both are read again on SIGHUP")
        ->type_name("FILE");
    app.add_flag("--no-http", serve.noHttp, "serve HTTPS alone, no plain HTTP port");
    app.add_option("--trusted-proxy", serve.trustedProxies,
                   "reverse proxy (ADDRESS or ADDRESS/BITS, IPv4 or IPv6; repeatable) whose "
                   "X-Forwarded-For or Forwarded names the client for throttling and the log")
        ->type_name("ADDRESS[/BITS]")
        ->allow_extra_args(false);

    int showNumber = 0;
    auto* show = app.add_subcommand("show", "print settings 1 and 2 (or N), passwords masked");
    show->add_option("--settings", settingsFile, settingsHelp)->type_name("FILE");
    show->add_option("N", showNumber, "the setting to print, 1 or 2");

    int setNumber = 0;
    std::vector<std::string> assignments;
    const std::string keys = CSettingEditor::KeyList();
    auto* set = app.add_subcommand("set", "change keys of setting N (1 or 2) and save it");
    set->add_option("--settings", settingsFile, settingsHelp)->type_name("FILE");
    set->add_option("N", setNumber, "the setting to change, 1 or 2")->required();
    set->add_option("KEY=VALUE", assignments,
                    "keys to change; VALUE - for WEB_PASS or "
                    "MAIL_PASS reads one line from standard input")
        ->required();
    set->footer("Keys: " + keys +
                "\nFlags take 0 or 1; FILTER_TYPE 0 (all), 1 (FILTER1 words) or 2 (not FILTER2 "
                "words);\nMAIL_LIST_ORDER 0 (message 1 first) or 1 (the newest first);\n"
                "MAIL_PAGE_STYLE 0 (the classic pages) or 1 (pages for phones and PCs);\n"
                "MAIL_SERVER is HOST[:PORT], pop3://HOST[:PORT], or pop3s://HOST[:PORT] for "
                "TLS\n(port 995 unless given). Values are UTF-8 and stored as Shift_JIS.");
    app.require_subcommand(0, 1);
    app.failure_message([](const CLI::App*, const CLI::Error& e) {
        return "tallwynd: " + std::string(e.what()) +
               "\nRun 'tallwynd --help' for more information.\n";
    });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    const std::string path = SettingsPath(settingsFile);
    if (*show) {
        return ShowCommand(path, showNumber);
    }
    if (*set) {
        return SetCommand(path, setNumber, assignments);
    }
    return ServeCommand(path, serve);
}
