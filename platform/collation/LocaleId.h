// How the name of the process's collation locale becomes a collation: byte
// order for the C/POSIX locale, otherwise ICU's collator for an ICU locale id.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace isort::platform {

// True for the C/POSIX locale under any of its names ("C", "POSIX",
// "C.UTF-8", "C.utf8"). Its collation is byte order: the C library's own
// order there, and for UTF-8 text also code point order.
bool IsByteOrderLocale(std::string_view posixName);

// The ICU locale id of a POSIX locale name of the form
// language[_territory][.codeset][@modifier]: "en_US.UTF-8" gives "en_US",
// "sr_RS@latin" gives "sr_Latn_RS", "de_DE@euro" gives "de_DE". The codeset
// is dropped (the text is compared as UTF-8); a modifier that names a script
// becomes the id's script, any other modifier is dropped because it does not
// select a collation. Nothing when the name does not have that form (a path,
// an alias, a language that is not two or three letters).
std::optional<std::string> IcuLocaleId(std::string_view posixName);

}  // namespace isort::platform
