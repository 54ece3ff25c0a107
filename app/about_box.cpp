#include "app/about_box.h"

#include <shellapi.h>
#include <windowsx.h>

#include "base/handles.h"
#include "base/program_folder.h"
#include "base/text.h"
#include "base/texts.h"
#include "res/resource.h"

namespace {

constexpr COLORREF kLinkNormal = RGB(0, 0, 255);
constexpr COLORREF kLinkHovered = RGB(255, 0, 0);

// The box moved to a screen of another DPI (WM_DPICHANGED, which the
// headers for XP do not name).  The platform's own handling gives the
// controls fonts for the new DPI; the link's fonts follow in a message
// posted behind that handling.
constexpr UINT kDpiChanged = 0x02E0;
constexpr UINT kFollowLinkFont = WM_APP + 1;

void openThroughShell(HWND owner, const wchar_t* target) {
  ShellExecuteW(owner, L"open", target, nullptr, nullptr, SW_SHOWNORMAL);
}

ShellOpenFunction shellOpen = openThroughShell;

// The link of the open About box.  Process-wide: the box is modal to the
// main window, so at most one exists at a time.
struct LinkState {
  HWND link = nullptr;
  WNDPROC previousProc = nullptr;
  GdiObject background;        // COLOR_BTNFACE brush, owned
  HFONT normalFont = nullptr;  // the dialog's font, borrowed
  GdiObject underlinedFont;    // owned
  COLORREF textColour = kLinkNormal;
};

LinkState linkState;

// Colour first, then the font: the redraw the font change causes already
// paints in the new colour.
void showLinkAs(COLORREF colour, HFONT font) {
  linkState.textColour = colour;
  SendMessageW(linkState.link, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void resetLink() {
  if (!linkState.link) return;
  showLinkAs(kLinkNormal, linkState.normalFont);
  ReleaseCapture();
}

// While the pointer is over the link the link holds the capture, so the
// move that leaves it still arrives here.
void onLinkMouseMove(HWND link, LPARAM position) {
  if (!GetCapture()) {
    showLinkAs(kLinkHovered, static_cast<HFONT>(linkState.underlinedFont.get()));
    SetCapture(link);
  }
  RECT client;
  GetClientRect(link, &client);
  POINT point = {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
  if (!PtInRect(&client, point)) {
    showLinkAs(kLinkNormal, linkState.normalFont);
    ReleaseCapture();
  }
}

LRESULT CALLBACK linkProc(HWND link, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_MOUSEMOVE) {
    try {
      onLinkMouseMove(link, lParam);
    } catch (...) {
    }
  }
  return CallWindowProcW(linkState.previousProc, link, message, wParam, lParam);
}

// The font with the description of `font` and the underline flag set;
// null when there is none.
HFONT underlinedFontOf(HFONT font) {
  LOGFONTW description = {};
  if (!font || !GetObjectW(font, sizeof description, &description)) return nullptr;
  description.lfUnderline = TRUE;
  return CreateFontIndirectW(&description);
}

// The font the platform gave the link for the new DPI becomes its normal
// font (unless the link still shows the underlined one: then it got none),
// the underlined one is made anew from it, and the link shows in the normal
// state; the old underlined font goes only once the link no longer has it.
void followLinkFont() {
  if (!linkState.link) return;
  auto font = reinterpret_cast<HFONT>(SendMessageW(linkState.link, WM_GETFONT, 0, 0));
  if (font && font != linkState.underlinedFont.get()) linkState.normalFont = font;
  resetLink();
  linkState.underlinedFont.reset(underlinedFontOf(linkState.normalFont));
}

BOOL onInitDialog(HWND dialog) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner)
    SendMessageW(dialog, WM_SETICON, ICON_SMALL,
                 static_cast<LPARAM>(GetClassLongPtrW(owner, GCLP_HICON)));

  linkState.link = GetDlgItem(dialog, IDC_LINK);
  linkState.background.reset(CreateSolidBrush(GetSysColor(COLOR_BTNFACE)));
  linkState.normalFont = reinterpret_cast<HFONT>(SendMessageW(linkState.link, WM_GETFONT, 0, 0));
  linkState.underlinedFont.reset(underlinedFontOf(linkState.normalFont));
  linkState.previousProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(linkState.link, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(linkProc)));
  // A shared system cursor: never destroyed, and it stays the cursor of the
  // static class after the box has gone.
  HANDLE hand = LoadImageW(nullptr, IDC_HAND, IMAGE_CURSOR, 0, 0, LR_SHARED | LR_DEFAULTSIZE);
  SetClassLongPtrW(linkState.link, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(hand));
  linkState.textColour = kLinkNormal;
  return TRUE;  // the focus goes to the first tab stop
}

void onActivate(WPARAM wParam) {
  WORD state = LOWORD(wParam);
  if (state == WA_ACTIVE || state == WA_CLICKACTIVE) resetLink();
}

BOOL onCommand(HWND dialog, int id, int code) {
  switch (id) {
    case IDOK:
      EndDialog(dialog, 1);
      return TRUE;
    case IDC_LINK:
      if (code == STN_CLICKED) {
        resetLink();
        shellOpen(nullptr, texts::kMakerPage);
      }
      return TRUE;
    default:
      return FALSE;  // Escape (IDCANCEL) included: it does not close the box
  }
}

INT_PTR onCtlColorStatic(HDC dc, HWND control) {
  if (control != linkState.link) return FALSE;  // default colours
  SetTextColor(dc, linkState.textColour);
  SetBkMode(dc, TRANSPARENT);
  return reinterpret_cast<INT_PTR>(linkState.background.get());
}

void onDestroy() {
  if (linkState.link) {
    SetWindowLongPtrW(linkState.link, GWLP_WNDPROC,
                      reinterpret_cast<LONG_PTR>(linkState.previousProc));
    // Hand the dialog's font back before the underlined one is deleted.
    SendMessageW(linkState.link, WM_SETFONT, reinterpret_cast<WPARAM>(linkState.normalFont), FALSE);
  }
  linkState.background.reset();
  linkState.underlinedFont.reset();
  linkState.link = nullptr;
  linkState.previousProc = nullptr;
  linkState.normalFont = nullptr;
}

INT_PTR CALLBACK aboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    switch (message) {
      case WM_INITDIALOG:
        return onInitDialog(dialog);
      case WM_ACTIVATE:
        onActivate(wParam);
        return FALSE;
      case WM_COMMAND:
        return onCommand(dialog, LOWORD(wParam), HIWORD(wParam));
      case WM_CTLCOLORSTATIC:
        return onCtlColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
      case WM_CLOSE:
        EndDialog(dialog, 1);
        return TRUE;
      case WM_DESTROY:
        onDestroy();
        return FALSE;
      case kDpiChanged:
        PostMessageW(dialog, kFollowLinkFont, 0, 0);
        return FALSE;
      case kFollowLinkFont:
        followLinkFont();
        return TRUE;
    }
  } catch (...) {
  }
  return FALSE;
}

}  // namespace

void showAboutBox(HWND mainWindow) {
  HINSTANCE module = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(mainWindow, GWLP_HINSTANCE));
  DialogBoxParamW(module, MAKEINTRESOURCEW(IDD_ABOUT), mainWindow, aboutProc, 0);
}

void openReadme(HWND mainWindow) {
  std::wstring path = formatText(texts::kReadmePath, programFolder().c_str());
  shellOpen(mainWindow, path.c_str());
}

void setShellOpenForTests(ShellOpenFunction open) { shellOpen = open ? open : openThroughShell; }
