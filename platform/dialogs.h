// Modal message and one-line input dialogs, for the archive component's own prompts.
#pragma once
#include <string>

namespace velarin::platform {

// Buttons and answers of a message dialog (the Windows IDOK... values).
enum DialogAnswer : int { daOk = 1, daCancel = 2, daAbort = 3, daRetry = 4, daIgnore = 5, daYes = 6, daNo = 7 };
enum DialogButtons : int { dbOk = 0, dbOkCancel = 1, dbAbortRetryIgnore = 2, dbYesNoCancel = 3, dbYesNo = 4,
                           dbRetryCancel = 5 };

// Shows text (system code page) with the buttons and answers the one pressed.
// Where no dialog can be shown (Linux) it answers defaultAnswer at once.
int MessageDialog(const std::string& caption, const std::string& text, int buttons, int defaultAnswer);

// Asks for one line of text, value holding the initial text. True and value set
// when confirmed; false when cancelled or when no dialog can be shown (Linux).
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);

}  // namespace velarin::platform
