// The Win32 dialogs: the in-memory input dialog works and hands the text back; suppressed runs answer at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <thread>

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

TEST(Dialogs, SuppressedDialogsAnswerTheDefault) {
  _putenv("VELARIN_NO_DIALOGS=1");
  EXPECT_EQ(MessageDialog("c", "t", dbYesNoCancel, daNo), daNo);
  std::string value = "v";
  EXPECT_FALSE(InputQuery("c", "p", value));
  EXPECT_EQ(value, "v");
}

TEST(Dialogs, WithoutADesktopTheDefaultAnswerComes) {
  if (HaveDesktop()) GTEST_SKIP() << "a desktop is there";
  _putenv("VELARIN_NO_DIALOGS=0");
  EXPECT_EQ(MessageDialog("c", "t", dbRetryCancel, daCancel), daCancel);
  std::string value = "v";
  EXPECT_FALSE(InputQuery("c", "p", value));
  EXPECT_EQ(value, "v");
  _putenv("VELARIN_NO_DIALOGS=1");
}
