// Text idioms that messages and settings share across the layers: one way
// each to trim and read a setting, quote a name, check UTF-8 and read an
// integer.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kinra2::base {

// `text` without the blanks (space, tab, line feed, carriage return, vertical
// tab, form feed) at either end.
std::string_view trimmed(std::string_view text);

// A word-valued setting as it is compared: trimmed, ASCII letters lowered.
std::string setting_word(std::string_view text);

// A name or value in single quotes, exactly as given, so that a path can be
// copied out of the message as it is.
std::string quoted(std::string_view text);

// `text` as a single-quoted literal: backslashes doubled, and line breaks,
// tabs and other control bytes escaped, so that a message holding any text
// stays one line.
std::string literal(std::string_view text);

// The items as literals in a bracketed list: "['a', 'b']", "[]".
std::string literal_list(std::span<const std::string> items);

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates,
// nothing past U+10FFFF).
bool valid_utf8(std::string_view text);

// A base-10 integer with at most one sign and surrounding blanks, or nullopt.
std::optional<long long> to_int(std::string_view text);

// The same, throwing std::invalid_argument with `what` in the message when
// `text` is not one.
long long parse_int(std::string_view text, std::string_view what);

}  // namespace kinra2::base
