// The Win32 dialogs: the in-memory input and choice dialogs work and hand back what was chosen; suppressed runs answer at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/dialogs.h"

using namespace velarin::platform;

namespace {

// Finds the dialog by its caption and answers it as a user would.
void AnswerWhenShown(const wchar_t* caption, const wchar_t* text, WORD button) {
  for (int i = 0; i < 500; ++i) {
    if (HWND dlg = FindWindowW(nullptr, caption)) {
      if (text) SetDlgItemTextW(dlg, 100, text);
      PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
      return;
    }
    Sleep(10);
  }
}

bool HaveDesktop() {
  HWND w = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (w) DestroyWindow(w);
  return w != nullptr;
}

struct DialogsShown : ::testing::Test {
  void SetUp() override {
    if (!HaveDesktop()) GTEST_SKIP() << "no desktop to show windows on (Wine without a display)";
    _putenv("VELARIN_NO_DIALOGS=0");
  }
  void TearDown() override { _putenv("VELARIN_NO_DIALOGS=1"); }
};

// What a user saw of a choice dialog before answering it.
struct SeenChoices {
  bool shown = false;
  std::vector<std::wstring> labels;  // left to right
  bool textHoldsItsLines = false;    // the static control is tall enough for lines lines of its font
  bool rowBelowTextInside = false;   // every button below the text and inside the dialog
};

// Waits for the choice dialog, notes its layout, then answers with button (an index) or sends
// message (WM_CLOSE, or WM_COMMAND with IDCANCEL / IDOK) when button is negative.
void AnswerChoice(const wchar_t* caption, int lines, int button, UINT message, WPARAM wp, SeenChoices* seen) {
  HWND dlg = nullptr;
  for (int i = 0; i < 500 && !(dlg && IsWindowVisible(dlg)); ++i) {
    dlg = FindWindowW(nullptr, caption);
    Sleep(10);
  }
  if (!dlg) return;
  seen->shown = true;
  HWND text = FindWindowExW(dlg, nullptr, L"Static", nullptr);
  std::vector<HWND> buttons;
  for (HWND b = FindWindowExW(dlg, nullptr, L"Button", nullptr); b; b = FindWindowExW(dlg, b, L"Button", nullptr))
    buttons.push_back(b);
  RECT client{}, tr{};
  GetClientRect(dlg, &client);
  GetWindowRect(text, &tr);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&tr), 2);
  HDC dc = GetDC(text);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(text, WM_GETFONT, 0, 0)));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(text, dc);
  seen->textHoldsItsLines = tr.bottom - tr.top >= lines * tm.tmHeight;
  seen->rowBelowTextInside = true;
  LONG lastLeft = -1;
  for (HWND b : buttons) {
    wchar_t label[64] = {};
    GetWindowTextW(b, label, 64);
    seen->labels.push_back(label);
    RECT br{};
    GetWindowRect(b, &br);
    MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&br), 2);
    if (br.top < tr.bottom || br.left <= lastLeft || br.left < 0 || br.right > client.right || br.bottom > client.bottom)
      seen->rowBelowTextInside = false;
    lastLeft = br.left;
  }
  if (button >= 0 && size_t(button) < buttons.size()) {
    HWND b = buttons[size_t(button)];
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(b), BN_CLICKED), LPARAM(b));
  } else {
    PostMessageW(dlg, message, wp, 0);
  }
}

const std::vector<DialogChoice> kOverwrite = {
    {"Yes", daYes}, {"No", daNo}, {"No to All", daNoToAll}, {"Yes to All", daYesToAll}};

}  // namespace

TEST_F(DialogsShown, InputQueryHandsBackTheTypedLine) {
  std::thread user(AnswerWhenShown, L"Password", L"s\u00E9cret", WORD(IDOK));
  std::string value = "initial";
  bool ok = InputQuery("Password", "Enter the password", value);
  user.join();
  ASSERT_TRUE(ok);
  if (GetACP() == 1252) {
    EXPECT_EQ(value, "s\xE9" "cret");
  }
  EXPECT_GE(value.size(), 6u);
}

TEST_F(DialogsShown, InputQueryCancelledKeepsTheValue) {
  std::thread user(AnswerWhenShown, L"Name", nullptr, WORD(IDCANCEL));
  std::string value = "kept";
  EXPECT_FALSE(InputQuery("Name", "New name", value));
  user.join();
  EXPECT_EQ(value, "kept");
}

TEST_F(DialogsShown, ChoiceDialogShowsItsButtonsInOrderAndAnswersTheOneClicked) {
  SeenChoices seen;
  std::thread user(AnswerChoice, L"Confirm overwrite", 3, 1, 0, 0, &seen);
  int r = ChoiceDialog("Confirm overwrite", "Overwrite file \"a.txt\"\nwith \"b.txt\"\n(last line)", kOverwrite, daYes);
  user.join();
  ASSERT_TRUE(seen.shown);
  EXPECT_EQ(r, daNo);
  EXPECT_EQ(seen.labels, (std::vector<std::wstring>{L"Yes", L"No", L"No to All", L"Yes to All"}));
  EXPECT_TRUE(seen.textHoldsItsLines);
  EXPECT_TRUE(seen.rowBelowTextInside);
}

// Closing without a button gives the caller's default; Enter presses the first (default) button.
TEST_F(DialogsShown, ChoiceDialogClosedWithoutAButton) {
  struct Case {
    const wchar_t* wcaption;
    const char* caption;
    UINT message;
    WPARAM wp;
    int expected;
  } cases[] = {
      {L"Escape", "Escape", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), daIgnore},
      {L"Close box", "Close box", WM_CLOSE, 0, daIgnore},
      {L"Enter", "Enter", WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), daAbort},
  };
  for (const Case& c : cases) {
    SeenChoices seen;
    std::thread user(AnswerChoice, c.wcaption, 1, -1, c.message, c.wp, &seen);
    int r = ChoiceDialog(c.caption, "Error reading the file", {{"Abort", daAbort}, {"Ignore", daIgnore}}, daIgnore);
    user.join();
    ASSERT_TRUE(seen.shown) << c.caption;
    EXPECT_EQ(r, c.expected) << c.caption;
  }
}

TEST(Dialogs, SuppressedDialogsAnswerTheDefault) {
  _putenv("VELARIN_NO_DIALOGS=1");
  EXPECT_EQ(MessageDialog("c", "t", dbYesNoCancel, daNo), daNo);
  std::string value = "v";
  EXPECT_FALSE(InputQuery("c", "p", value));
  EXPECT_EQ(value, "v");
  EXPECT_EQ(ChoiceDialog("c", "t", kOverwrite, daNoToAll), daNoToAll);
}

TEST(Dialogs, WithoutADesktopTheDefaultAnswerComes) {
  if (HaveDesktop()) GTEST_SKIP() << "a desktop is there";
  _putenv("VELARIN_NO_DIALOGS=0");
  EXPECT_EQ(MessageDialog("c", "t", dbRetryCancel, daCancel), daCancel);
  std::string value = "v";
  EXPECT_FALSE(InputQuery("c", "p", value));
  EXPECT_EQ(value, "v");
  EXPECT_EQ(ChoiceDialog("c", "t", {{"Abort", daAbort}, {"Retry", daRetry}, {"Ignore", daIgnore}}, daAbort), daAbort);
  _putenv("VELARIN_NO_DIALOGS=1");
}
