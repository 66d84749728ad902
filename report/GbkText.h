// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// UTF-8 text as the bytes a GBK (code page 936) reader expects.

#include <string>
#include <string_view>

namespace talvik {

// What a character becomes that neither GBK nor GB18030 can write (a few private-use and tag
// characters): "?", or a numeric character reference, which keeps it in HTML text.
enum class Unencodable { QuestionMark, HtmlReference };

// Every character GBK has is written as its GBK bytes; any other character as its GB18030 code,
// which agrees with GBK wherever GBK has the character, so no text is lost. A byte that does not
// begin valid UTF-8 becomes "?".
std::string Utf8ToGbk(std::string_view utf8, Unencodable unencodable = Unencodable::QuestionMark);

}  // namespace talvik
