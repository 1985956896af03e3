#pragma once

#include <string_view>

// The decimal value of a text, read everywhere a number is read (request paths,
// server replies, the settings file, the window's number fields): leading white
// space skipped, an optional sign, then decimal digits up to the first other byte;
// 0 when there is no digit. Values beyond the int range saturate.
int DecimalValue(std::string_view text);
