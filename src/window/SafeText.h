#pragma once
// Text from outside the program (the disk service's names, an image's
// labels) made safe to show in the window and to print as one line.
//
// Threads: any; a pure function.

#include <string>
#include <string_view>

// Invalid UTF-8 becomes U+FFFD, and control characters, Unicode line and
// paragraph separators and format controls (bidi overrides and the like)
// become blanks. A hostile name can then neither add lines (a fake "Size:"
// line), nor reorder the text, nor end a field early.
std::string CleanText(std::string_view text);
