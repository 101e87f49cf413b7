// Text from outside the program (command-line words, a server's version
// text, a settings file) may carry terminal control sequences; on the
// console they are shown, never obeyed.
#pragma once
#include <string>

// `text` with every control character except line feed and tab written as
// "\xNN": C0 controls, DEL, C1 controls in UTF-8 form, and bytes that are not
// UTF-8 (a lone 0x9B is a control sequence introducer to some terminals).
std::string EscapeControls(const char* text);
