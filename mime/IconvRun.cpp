#include "mime/IconvRun.h"

#include <cerrno>

int RunIconv(iconv_t cd, std::string_view& in, std::string& out) {
    char buffer[4096];
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    int error = 0;
    for (;;) {
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t done = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        if (done != static_cast<std::size_t>(-1)) {
            break;
        }
        if (errno != E2BIG) {
            error = errno;
            break;
        }
    }
    in.remove_prefix(in.size() - srcLeft);
    return error;
}

void RunIconvReplacing(iconv_t cd, std::string_view& in, std::string& out,
                       std::string_view replacement, bool final) {
    while (!in.empty()) {
        const int error = RunIconv(cd, in, out);
        if (error == 0 || (error == EINVAL && !final)) {
            return;
        }
        out += replacement;
        in.remove_prefix(1);
    }
}
