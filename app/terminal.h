// Single-key input for the pause and the Y|N prompts.
#pragma once
#include <functional>

namespace kes {

// Returns the next key (byte) of standard input, or -1 at end of input. On a terminal, echo and
// line buffering are off for this one read and the settings are restored afterwards, and the
// wait ends on an interrupting signal (RunInterrupted is thrown, the settings restored). Any
// other input (a pipe, a file) is not waited for: a byte already there is read, and when there
// is none the key counts as end of input.
int ReadKey();

using KeyReader = std::function<int()>;

// Prints the pause prompt and reads one key: false for q or Q. End of input counts as any other
// key, so a run without input never stops halfway through the usage screen.
bool PauseForKey(const KeyReader& readKey);

// Prints the prompt and reads keys until y, Y, n or N: true for y or Y. End of input answers N,
// so a run without input never spins on the prompt nor shuts the machine down.
bool AskYesNo(const wchar_t* prompt, const KeyReader& readKey);

}  // namespace kes
