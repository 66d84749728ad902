// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// talvik-scan speaks the user's language through gettext: Chinese under a zh_* locale, English
// (the texts in the code) otherwise. The window stays Chinese whatever the locale.

#include <libintl.h>

#include <string>
#include <string_view>

#include "store/DeviceStore.h"

namespace talvik::cli {

inline constexpr const char* kTextDomain = "talvik-scan";

// The user's words for `english`.
inline const char* Tr(const char* english) {
    return ::dgettext(kTextDomain, english);
}

// The same, for a sentence about `count` things.
inline const char* TrCount(const char* one, const char* more, unsigned long count) {
    return ::dngettext(kTextDomain, one, more, count);
}

// printf for a translated format.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A notice of the engine or the senders, written in the window's Chinese, in the user's language:
// as it is under the Chinese catalogue, else line by line in the catalogue's words (English
// without one). A line it does not know stays as it is.
std::string NoticeInLanguage(std::string_view notice);

// Why the devices were not remembered, in the user's language: the store's own Chinese under the
// Chinese catalogue (the window's words), the catalogue's words (English without one) otherwise.
std::string StoreNotice(const store::StoreStatus& status);

// The system's words for `error` (an errno value) in the user's language, in UTF-8 whatever the
// locale's own character set.
std::string ErrorText(int error);

// Takes the language from the environment (LC_ALL, LC_MESSAGES, LANG, LANGUAGE) and finds the
// catalogue where this build or its installed tree keeps it. Texts are UTF-8 in every locale,
// as the CSV and JSON are.
void SetUpLanguage();

}  // namespace talvik::cli
