#include "tallwynd/RequestLog.h"

#include "mime/Codepage.h"

std::string CRequestLog::TimeText(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[40];
    std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return std::string(text, length);
}

std::string CRequestLog::Value(std::string_view utf8) {
    bool quote = utf8.empty();
    std::string body;
    for (char c : utf8) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
        if (c == ' ' || c == '"' || c == '\\' || c == '=') {
            quote = true;
        }
        if (c == '"' || c == '\\') {
            body += '\\';
        }
        body += c;
    }
    return quote ? "\"" + body + "\"" : body;
}

std::string CRequestLog::FormatLine(const CRequestRecord& record, std::string_view timeText) {
    std::string line(timeText);
    line += " client=" + Value(record.client.empty() ? "-" : record.client);
    if (!record.proxy.empty()) {
        line += " via=" + Value(record.proxy);
    }
    line += " setting=" +
            (record.settingNumber < 0 ? std::string("-") : std::to_string(record.settingNumber));
    line += " page=" + Value(record.page);
    std::string outcome = "ok";
    if (record.page == "throttled") {
        outcome = "throttled";
    } else if (!record.refusal.empty() && record.errorCode == 0) {
        outcome = "refused";
    } else if (record.errorCode != 0) {
        outcome = Cp932ToUtf8Lossy(record.errorText);
        if (outcome.empty()) {
            outcome = "error " + std::to_string(record.errorCode);
        }
    }
    line += " outcome=" + Value(outcome);
    if (outcome == "refused") {
        line += " reason=" + Value(record.refusal);
    } else if (record.errorCode != 0 && !record.reason.empty()) {
        line += " reason=" + Value(record.reason);
    }
    if (record.errorCode != 0 && !record.detail.empty()) {
        line += " detail=" + Value(record.detail);
    }
    line += " bytes=" + std::to_string(record.bytesSent);
    line += " ms=" + std::to_string(record.milliseconds);
    return line;
}
