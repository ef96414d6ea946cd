// Dialogs on Windows: the system message box, and a one-line input dialog and a choice dialog built in memory.
#include "platform/dialogs.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/codepage.h"

namespace velarin::platform {
namespace {

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

// Test runs and services have nobody to answer: VELARIN_NO_DIALOGS=1 answers at once.
bool DialogsSuppressed() {
  const char* v = std::getenv("VELARIN_NO_DIALOGS");
  return v && *v && *v != '0';
}

HWND Owner() {
  HWND w = GetActiveWindow();
  return w ? w : GetForegroundWindow();
}

// A dialog template in memory: header, then items, each aligned to 4 bytes.
class Template {
 public:
  Template(const std::u16string& caption, short cx, short cy) {
    Align();
    size_t at = data_.size();
    data_.resize(at + sizeof(DLGTEMPLATE) / 2);
    auto* t = reinterpret_cast<DLGTEMPLATE*>(&data_[at]);
    t->style = DS_MODALFRAME | DS_CENTER | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    t->cx = cx;
    t->cy = cy;
    countAt_ = at;
    data_.push_back(0);  // no menu
    data_.push_back(0);  // standard class
    Text(caption);
    data_.push_back(8);  // point size, then face
    Text(u"MS Shell Dlg");
  }
  void Item(DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, const std::u16string& text) {
    Align();
    size_t at = data_.size();
    data_.resize(at + sizeof(DLGITEMTEMPLATE) / 2);
    auto* i = reinterpret_cast<DLGITEMTEMPLATE*>(&data_[at]);
    i->style = style | WS_CHILD | WS_VISIBLE;
    i->x = x;
    i->y = y;
    i->cx = cx;
    i->cy = cy;
    i->id = id;
    data_.push_back(0xFFFF);
    data_.push_back(cls);
    Text(text);
    data_.push_back(0);  // no creation data
    reinterpret_cast<DLGTEMPLATE*>(&data_[countAt_])->cdit++;
  }
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(data_.data()); }

 private:
  void Align() {
    if (data_.size() % 2) data_.push_back(0);
  }
  void Text(const std::u16string& s) {
    for (char16_t c : s) data_.push_back(WORD(c));
    data_.push_back(0);
  }
  std::vector<WORD> data_;  // WORD-sized units; the vector's storage is suitably aligned
  size_t countAt_ = 0;
};

enum : WORD { kEdit = 100, kButton = 0x0080, kEditClass = 0x0081, kStatic = 0x0082 };

struct QueryState {
  std::u16string caption, value;
};

INT_PTR CALLBACK QueryProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      auto* q = reinterpret_cast<QueryState*>(lp);
      SetWindowLongPtrW(dlg, DWLP_USER, LONG_PTR(q));
      SetWindowTextW(dlg, W(q->caption));
      SetDlgItemTextW(dlg, kEdit, W(q->value));
      SendDlgItemMessageW(dlg, kEdit, EM_SETSEL, 0, -1);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK) {
        auto* q = reinterpret_cast<QueryState*>(GetWindowLongPtrW(dlg, DWLP_USER));
        int n = GetWindowTextLengthW(GetDlgItem(dlg, kEdit));
        std::u16string text(size_t(n > 0 ? n : 0) + 1, u'\0');
        int got = GetDlgItemTextW(dlg, kEdit, reinterpret_cast<wchar_t*>(text.data()), n + 1);
        text.resize(size_t(got > 0 ? got : 0));
        q->value = text;
        EndDialog(dlg, IDOK);
        return TRUE;
      }
      if (LOWORD(wp) == IDCANCEL) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
  }
  return FALSE;
}

// The choice buttons' ids start clear of IDOK..IDCONTINUE, so Enter and Escape stay distinct.
enum : WORD { kChoiceText = 101, kFirstChoice = 1000 };

struct ChoiceState {
  std::u16string text;
  std::vector<std::u16string> labels;
};

// Sizes the text and the button row with the dialog's own font (the template only
// knows dialog units, the text's extent is known only once the font is there) and centres the dialog.
void LayOutChoices(HWND dlg, const ChoiceState& c) {
  auto dlu = [dlg](int x, int y) {
    RECT r{0, 0, x, y};
    MapDialogRect(dlg, &r);
    return r;
  };
  const RECT margin = dlu(7, 7), gap = dlu(4, 10), minButton = dlu(50, 14), pad = dlu(6, 0);

  HWND owner = GetWindow(dlg, GW_OWNER);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromWindow(owner ? owner : dlg, MONITOR_DEFAULTTOPRIMARY), &mi);
  const RECT work = mi.rcWork;
  const int maxText = std::max(int(minButton.right), int(work.right - work.left) * 3 / 4 - 2 * int(margin.right));

  HDC dc = GetDC(dlg);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(dlg, WM_GETFONT, 0, 0)));
  TEXTMETRICW tm{};
  GetTextMetricsW(dc, &tm);
  // The static control wraps words as DT_WORDBREAK does, so this height holds every line.
  RECT tr{0, 0, maxText, 0};
  DrawTextW(dc, W(c.text), -1, &tr, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS);
  const int textW = std::min(int(tr.right), maxText);
  const int textH = std::max(int(tr.bottom), int(tm.tmHeight));
  int buttonW = minButton.right;
  for (const auto& label : c.labels) {
    RECT br{0, 0, 0, 0};
    DrawTextW(dc, W(label), -1, &br, DT_CALCRECT | DT_SINGLELINE);
    buttonW = std::max(buttonW, int(br.right) + 2 * int(pad.right));
  }
  SelectObject(dc, old);
  ReleaseDC(dlg, dc);

  const int n = int(c.labels.size());
  const int buttonH = minButton.bottom;
  const int rowW = n * buttonW + (n - 1) * gap.right;
  const int clientW = std::max(textW, rowW) + 2 * margin.right;
  const int rowY = margin.bottom + textH + gap.bottom;
  const int clientH = rowY + buttonH + margin.bottom;

  SetWindowPos(GetDlgItem(dlg, kChoiceText), nullptr, margin.right, margin.bottom, clientW - 2 * margin.right, textH,
               SWP_NOZORDER | SWP_NOACTIVATE);
  for (int i = 0; i < n; ++i) {
    int x = (clientW - rowW) / 2 + i * (buttonW + gap.right);
    SetWindowPos(GetDlgItem(dlg, WORD(kFirstChoice + i)), nullptr, x, rowY, buttonW, buttonH,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  }

  RECT wr{0, 0, clientW, clientH};
  AdjustWindowRectEx(&wr, DWORD(GetWindowLongW(dlg, GWL_STYLE)), FALSE, DWORD(GetWindowLongW(dlg, GWL_EXSTYLE)));
  const int w = wr.right - wr.left, h = wr.bottom - wr.top;
  // Centred on the work area, but never with the caption off its top or left edge.
  const int x = std::max(int(work.left), int(work.left + (work.right - work.left - w) / 2));
  const int y = std::max(int(work.top), int(work.top + (work.bottom - work.top - h) / 2));
  SetWindowPos(dlg, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK ChoiceProc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dlg, DWLP_USER, LONG_PTR(lp));
      LayOutChoices(dlg, *reinterpret_cast<const ChoiceState*>(lp));
      SendMessageW(dlg, DM_SETDEFID, kFirstChoice, 0);
      SetFocus(GetDlgItem(dlg, kFirstChoice));
      SetForegroundWindow(dlg);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      auto* c = reinterpret_cast<const ChoiceState*>(GetWindowLongPtrW(dlg, DWLP_USER));
      const WORD id = LOWORD(wp);
      if (c && id >= kFirstChoice && size_t(id - kFirstChoice) < c->labels.size()) {
        if (HIWORD(wp) == BN_CLICKED) EndDialog(dlg, id);
        return TRUE;
      }
      if (id == IDOK) {  // Enter where no button has the focus: the default button
        EndDialog(dlg, kFirstChoice);
        return TRUE;
      }
      if (id == IDCANCEL) {  // Escape or the close box
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
    }
  }
  return FALSE;
}

}  // namespace

int MessageDialog(const std::string& caption, const std::string& text, int buttons, int defaultAnswer) {
  if (DialogsSuppressed()) return defaultAnswer;
  // The button sets have the system's own numbers; the default answer picks the default button.
  UINT type = UINT(buttons) & 0xF;
  int order[3] = {0, 0, 0};
  switch (buttons) {
    case dbOkCancel: order[0] = daOk; order[1] = daCancel; break;
    case dbAbortRetryIgnore: order[0] = daAbort; order[1] = daRetry; order[2] = daIgnore; break;
    case dbYesNoCancel: order[0] = daYes; order[1] = daNo; order[2] = daCancel; break;
    case dbYesNo: order[0] = daYes; order[1] = daNo; break;
    case dbRetryCancel: order[0] = daRetry; order[1] = daCancel; break;
    default: order[0] = daOk; break;
  }
  if (order[1] == defaultAnswer) type |= MB_DEFBUTTON2;
  if (order[2] == defaultAnswer) type |= MB_DEFBUTTON3;
  type |= buttons == dbOk ? MB_ICONINFORMATION : MB_ICONQUESTION;
  int r = MessageBoxW(Owner(), W(SysToWide(text)), W(SysToWide(caption)), type | MB_TASKMODAL | MB_SETFOREGROUND);
  // No desktop to show it on (a service, Wine without a display): the default answer.
  return r <= 0 ? defaultAnswer : r;
}

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  if (DialogsSuppressed()) return false;
  Template t(SysToWide(caption), 200, 66);
  t.Item(SS_LEFT, 7, 7, 186, 10, 0xFFFF, kStatic, SysToWide(prompt));
  t.Item(ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, 7, 20, 186, 13, kEdit, kEditClass, u"");
  t.Item(BS_DEFPUSHBUTTON | WS_TABSTOP, 88, 44, 50, 14, IDOK, kButton, u"OK");
  t.Item(BS_PUSHBUTTON | WS_TABSTOP, 143, 44, 50, 14, IDCANCEL, kButton, u"Cancel");
  QueryState q{SysToWide(caption), SysToWide(value)};
  HINSTANCE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&QueryProc), &self);
  INT_PTR r = DialogBoxIndirectParamW(self, t.Get(), Owner(), QueryProc, LPARAM(&q));
  if (r != IDOK) return false;
  value = WideToSys(q.value);
  return true;
}

int ChoiceDialog(const std::string& caption, const std::string& text, const std::vector<DialogChoice>& choices,
                 int defaultAnswer) {
  // Ids past the WORD range would wrap onto IDOK...; no screen has room for that many anyway.
  if (DialogsSuppressed() || choices.empty() || choices.size() > size_t(0xFFFF - kFirstChoice)) return defaultAnswer;
  ChoiceState c{SysToWide(text), {}};
  const std::u16string wideCaption = SysToWide(caption);
  // Sizes and places come from LayOutChoices once the font is known; the template only orders the controls.
  Template t(wideCaption, 200, 60);
  t.Item(SS_LEFT | SS_NOPREFIX, 7, 7, 186, 10, kChoiceText, kStatic, c.text);
  for (size_t i = 0; i < choices.size(); ++i) {
    c.labels.push_back(SysToWide(choices[i].label));
    DWORD style = (i == 0 ? BS_DEFPUSHBUTTON | WS_GROUP : BS_PUSHBUTTON) | WS_TABSTOP;
    t.Item(style, 7, 39, 50, 14, WORD(kFirstChoice + i), kButton, c.labels.back());
  }
  HINSTANCE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ChoiceProc), &self);
  INT_PTR r = DialogBoxIndirectParamW(self, t.Get(), Owner(), ChoiceProc, LPARAM(&c));
  // Escape, the close box, or no desktop to show it on (-1, 0): the default answer.
  if (r >= kFirstChoice && size_t(r - kFirstChoice) < choices.size()) return choices[size_t(r - kFirstChoice)].answer;
  return defaultAnswer;
}

}  // namespace velarin::platform
