#include "oauth/OAuthHttp.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "oauth/OAuthEndpoints.h"

namespace {

struct CBody {
    std::string text;
    bool tooLong = false;
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* user) {
    auto* body = static_cast<CBody*>(user);
    const std::size_t n = size * count;
    if (body->text.size() + n > COAuthHttp::kMaxBodyBytes) {
        body->tooLong = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    body->text.append(data, n);
    return n;
}

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

std::string COAuthHttp::Escape(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        }
    }
    return out;
}

std::string COAuthHttp::FormEncode(const Fields& fields) {
    std::string form;
    for (const auto& [name, value] : fields) {
        if (!form.empty()) {
            form += '&';
        }
        form += Escape(name) + "=" + Escape(value);
    }
    return form;
}

COAuthHttp::Reply COAuthHttp::PostForm(std::string_view url, const Fields& fields, long timeoutMs) {
    Reply reply;
    const std::string why = COAuthEndpoints::CheckUrl(url);
    if (!why.empty()) {
        reply.error = why;
        return reply;
    }
    InitCurlOnce();
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   &curl_easy_cleanup);
    if (!curl) {
        reply.error = "no HTTP client";
        return reply;
    }
    CURL* c = curl.get();
    const std::string address(url);
    const std::string form = FormEncode(fields);
    CBody body;
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(c, CURLOPT_URL, address.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, std::max(1L, timeoutMs));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (const char* file = std::getenv("SSL_CERT_FILE"); file != nullptr && *file != '\0') {
        curl_easy_setopt(c, CURLOPT_CAINFO, file);
    }
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0') {
        curl_easy_setopt(c, CURLOPT_CAPATH, dir);
    }
    // No proxy from the environment: the token must go to the provider itself.
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "tallwyn");
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, "Accept: application/json"), &curl_slist_free_all);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());

    const CURLcode result = curl_easy_perform(c);
    if (body.tooLong) {
        reply.error = "answer longer than " + std::to_string(kMaxBodyBytes) + " bytes";
        return reply;
    }
    if (result != CURLE_OK) {
        reply.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(result);
        return reply;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.ok = true;
    reply.body = std::move(body.text);
    return reply;
}
