// Modal message and one-line input dialogs, for the archive component's own prompts.
#pragma once
#include <string>
#include <vector>

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

// One button of a choice dialog: its label and the answer it gives.
struct DialogChoice { std::string label; int answer; };
enum : int { daNoToAll = 9, daYesToAll = 10 };
// Shows text (system code page) with the given buttons, left to right, the first one the default button;
// answers the chosen button's answer, or defaultAnswer where no dialog can be shown (Linux, or
// VELARIN_NO_DIALOGS set) or when the dialog is closed without a button (Escape / close box).
int ChoiceDialog(const std::string& caption, const std::string& text, const std::vector<DialogChoice>& choices, int defaultAnswer);

}  // namespace velarin::platform
