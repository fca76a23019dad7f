// SPDX-License-Identifier: MIT
// Turning bytes from files (names, titles, help texts) into text for the widgets.
#pragma once

#include <QString>
#include <string_view>

namespace kestrune {

// The bytes as UTF-8 when they are valid UTF-8, else byte for byte as Latin-1: nothing turns
// into replacement characters and two different byte strings never show as the same text.
QString BytesToText(std::string_view bytes);

// The length of `bytes` without an incomplete UTF-8 sequence at its end, for text cut at a
// byte limit.
size_t WholeUtf8Length(std::string_view bytes);

}  // namespace kestrune
