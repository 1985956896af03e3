#pragma once

#include <initializer_list>
#include <string>

#include "support/FakePop3Server.h"

// Pieces of a FakePop3Server script in the order the gateway talks: the login with
// STAT, one TOP (list page) or RETR (single-mail page) per message, QUIT. The account
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

// Greeting, USER and PASS accepted, and STAT telling of count messages.
inline Script Login(int count) {
    return {"S: +OK POP3 ready",
            "C: USER taro",
            "S: +OK",
            "C: PASS secret",
            "S: +OK",
            "C: STAT",
            "S: +OK " + std::to_string(count) + " 4096"};
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

inline Script Quit() {
    return {"C: QUIT", "S: +OK bye"};
}

}  // namespace pop3
