// Telling the person who started the program about a bad command line. Windows: a warning
// message box (the program has no console of its own). POSIX: standard error.
#pragma once

namespace qv {

void ShowWarning(const char16_t* text, const char16_t* caption);

}  // namespace qv
