// The token and device endpoint readers over arbitrary answers: never a crash, and
// what they hand on keeps its promises (bounded, visible ASCII tokens and reasons,
// bounded lifetimes), whatever the provider sent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzCheck.h"
#include "oauth/OAuthReply.h"

namespace {

bool Visible(std::string_view text, bool blanks) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x7F || u < (blanks ? 0x20 : 0x21)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the status code, the rest is the body.
    const long status = data[0] < 128 ? 200 : 400;
    const std::string_view body(reinterpret_cast<const char*>(data) + 1, size - 1);

    const COAuthTokenReply token = COAuthTokenReply::Parse(status, body);
    FUZZ_CHECK(token.expiresIn >= 0 && token.expiresIn <= COAuthTokenReply::kMaxExpiresIn);
    FUZZ_CHECK(token.accessToken.size() <= COAuthTokenReply::kMaxTokenBytes);
    FUZZ_CHECK(token.refreshToken.size() <= COAuthTokenReply::kMaxTokenBytes);
    FUZZ_CHECK(Visible(token.accessToken, false) && Visible(token.refreshToken, false));
    FUZZ_CHECK((token.kind == COAuthTokenReply::kToken) == !token.accessToken.empty());
    FUZZ_CHECK(token.kind == COAuthTokenReply::kToken || !token.error.empty());
    FUZZ_CHECK(Visible(token.error, true) && Visible(token.description, true));
    FUZZ_CHECK(token.description.size() <= COAuthTokenReply::kMaxDescriptionBytes);

    const COAuthDeviceReply device = COAuthDeviceReply::Parse(status, body);
    FUZZ_CHECK(device.ok == device.error.empty());
    if (device.ok) {
        FUZZ_CHECK(device.expiresIn >= 1 && device.expiresIn <= COAuthDeviceReply::kMaxSeconds);
        FUZZ_CHECK(device.interval >= 1 && device.interval <= COAuthDeviceReply::kMaxSeconds);
        FUZZ_CHECK(Visible(device.userCode, false) && Visible(device.verificationUri, false));
    }
    return 0;
}
