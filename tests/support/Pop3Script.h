#pragma once

#include <initializer_list>
#include <string>

#include "support/FakePop3Server.h"

// Pieces of a FakePop3Server script in the order the gateway talks to a server without
// extensions: the login with STAT, one TOP per message (list page) or LIST and TOP
// (single-mail page), QUIT. The account
// is "taro" with the password "secret":
//
//   FakePop3Server server({Join({Login(1), Top(1, Message("hello", "")), Quit()})});
namespace pop3 {

using Script = FakePop3Server::Script;

// The parts one after another: one connection's script.
inline Script Join(std::initializer_list<Script> parts) {
    Script all;
    for (const Script& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// The greeting, and CAPA refused: a server without extensions, talked to one command
// at a time.
inline Script Greeting() {
    return {"S: +OK POP3 ready", "C: CAPA", "S: -ERR unknown command"};
}

// CAPA answered with lines (each ending in CR LF).
inline Script Capa(const std::string& lines) {
    return {"C: CAPA", FakePop3Server::Raw("+OK\r\n" + lines + ".\r\n")};
}

// Greeting, USER and PASS accepted, and STAT telling of count messages.
inline Script Login(int count) {
    return Join({Greeting(),
                 {"C: USER taro", "S: +OK", "C: PASS secret", "S: +OK", "C: STAT",
                  "S: +OK " + std::to_string(count) + " 4096"}});
}

// A message as the server stores it: date, subject and sender, then the body.
inline std::string Message(const std::string& subject, const std::string& body = "Hello.\r\n") {
    return "Date: Mon, 1 Jan 2024 09:00:00 +0900\r\nSubject: " + subject +
           "\r\nFrom: a@example.jp\r\n\r\n" + body;
}

// RETR number, answered with message (sent as it stands, so already dot-stuffed).
inline Script Retr(int number, const std::string& message) {
    return {"C: RETR " + std::to_string(number),
            FakePop3Server::Raw("+OK\r\n" + message + ".\r\n")};
}

// TOP number 0, answered with message (its header; a server may send the body too).
inline Script Top(int number, const std::string& message) {
    return {"C: TOP " + std::to_string(number) + " 0",
            FakePop3Server::Raw("+OK\r\n" + message + ".\r\n")};
}

// TOP number lines, answered with message: how the single-mail page reads.
inline Script TopLines(int number, std::size_t lines, const std::string& message) {
    return {"C: TOP " + std::to_string(number) + " " + std::to_string(lines),
            FakePop3Server::Raw("+OK\r\n" + message + ".\r\n")};
}

// The single-mail page's read: LIST number telling the message's size, then TOP with
// that many lines.
inline Script Mail(int number, const std::string& message) {
    const std::string n = std::to_string(number);
    return Join({{"C: LIST " + n, "S: +OK " + n + " " + std::to_string(message.size())},
                 TopLines(number, message.size(), message)});
}

inline Script Quit() {
    return {"C: QUIT", "S: +OK bye"};
}

}  // namespace pop3
