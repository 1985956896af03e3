#pragma once

#include <string_view>

// True when one of the comma-separated keywords occurs in text. Keywords are taken
// as they stand (no trimming, case matters); an empty keyword occurs in every text.
// A match begins only where a Shift_JIS character begins.
bool ContainsAnyKeyword(std::string_view keywords, std::string_view text);
