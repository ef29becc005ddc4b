// White space and tokens of the text mesh format. A text mesh is a sequence
// of tokens, runs of bytes other than white space; line breaks carry no
// meaning of their own.
#pragma once

#include <cstddef>
#include <string>

// White space as C's isspace() sees it in the "C" locale: blank, tab, line
// feed, vertical tab, form feed, carriage return.
inline bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The first byte at or after `first` that is not white space, or `last`.
inline const char* SkipSpace(const char* first, const char* last) {
    while (first < last && IsSpace(*first))
        ++first;
    return first;
}

// The end of the token that starts at `first`.
const char* TokenEnd(const char* first, const char* last);

// Number of tokens that start in [first, last), where `first` starts the
// text or follows white space.
size_t CountTokens(const char* first, const char* last);

// Skips n tokens from `first`; null when the text ends first.
const char* SkipTokens(const char* first, const char* last, size_t n);

// For messages about a text:
// the 1-based line of `at` in [begin, end), counting line feeds; at the end
// of the text, the line of the last thing written.
size_t LineOf(const char* begin, const char* at, const char* end);
// [first, last) in double quotes, bytes outside printable ASCII (and '"',
// '\\') as \xhh, cut after 40 bytes with "...".
std::string Quote(const char* first, const char* last);
// The token that starts at `first` (up to white space), quoted.
std::string QuoteToken(const char* first, const char* end);
