#pragma once

#include <string>
#include <string_view>

#include <iconv.h>

// Runs the conversion cd over in, appending to out, until in is used up (0) or a
// sequence does not convert (EILSEQ, or EINVAL when the input ends inside it); in is
// left at that sequence.
int RunIconv(iconv_t cd, std::string_view& in, std::string& out);

// RunIconv over the whole of in, appending replacement for each byte that does not
// convert. A sequence cut off by the end of in is left there for the next piece,
// unless final.
void RunIconvReplacing(iconv_t cd, std::string_view& in, std::string& out,
                       std::string_view replacement, bool final);
