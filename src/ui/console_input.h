// The console's input: standard input as a stream buffer the console presenter reads lines from.
#pragma once

#include <memory>
#include <streambuf>

namespace countryset {

// Reads standard input. On Linux the input ends as soon as the console's output can no longer be
// seen (stdout closed, or a pager quit): the dialog then ends as cancelled instead of acting on
// lines typed blind.
std::unique_ptr<std::streambuf> MakeConsoleInput();

}  // namespace countryset
