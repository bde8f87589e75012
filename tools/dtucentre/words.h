// The words of a command line: how the console splits what the operator
// typed, quotes and escapes included.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace centre {

// Splits a command line into words: spaces separate words; "double quotes"
// keep spaces and take escapes; 'single quotes' keep everything as it is;
// outside quotes a backslash escapes too.  Escapes: \r \n \t \0 \\ \" \'
// \xHH.  False with a reason for an open quote or a bad escape.
bool split_words(std::string_view line, std::vector<std::string> *words, std::string *why);
// The escapes of a text (as in "double quotes") turned into their bytes.
bool unescape(std::string_view text, std::string *out, std::string *why);

// The text after the first n words, as typed (inner spaces kept), without
// the spaces and carriage return at its end.
std::string_view after_words(std::string_view line, int n);

}  // namespace centre
