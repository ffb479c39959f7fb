// Every text inserted into a shell command line goes through this one helper.
#pragma once

#include <string>
#include <string_view>

namespace qlm {

// The text as one shell word: wrapped in single quotes, each ' written as '\''.
std::string ShellQuote(std::string_view text);

}  // namespace qlm
