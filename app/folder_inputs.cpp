#include "app/folder_inputs.h"

#include <shlobj.h>

#include <algorithm>
#include <optional>

#include "app/main_window.h"
#include "base/handles.h"
#include "base/text.h"
#include "base/texts.h"
#include "res/resource.h"

namespace {

// The control's own window procedure, kept on the control while the drop
// handler stands in for it.
constexpr wchar_t kPreviousProcedure[] = L"Ostrelle.PreviousProcedure";

void replaceProcedure(HWND control, WNDPROC handler) {
  if (!control) return;
  auto previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(handler)));
  SetPropW(control, kPreviousProcedure, reinterpret_cast<HANDLE>(previous));
  DragAcceptFiles(control, TRUE);
}

LRESULT passOn(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  auto previous = reinterpret_cast<WNDPROC>(GetPropW(control, kPreviousProcedure));
  if (message == WM_NCDESTROY) RemovePropW(control, kPreviousProcedure);
  if (!previous) return DefWindowProcW(control, message, wParam, lParam);
  return CallWindowProcW(previous, control, message, wParam, lParam);
}

std::wstring droppedPath(HDROP drop, UINT index) {
  UINT length = DragQueryFileW(drop, index, nullptr, 0);
  std::wstring path(length + 1, L'\0');
  UINT copied = DragQueryFileW(drop, index, path.data(), length + 1);
  path.resize(std::min(copied, length));
  return path;
}

HINSTANCE resourceModule() {
  HINSTANCE module = appInstance();
  return module ? module : GetModuleHandleW(nullptr);
}

int CALLBACK pickerCallback(HWND picker, UINT message, LPARAM, LPARAM data) {
  const auto* path = reinterpret_cast<const wchar_t*>(data);
  if (message == BFFM_INITIALIZED && path && *path)
    SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, data);
  return 0;
}

// The add-source dialog keeps the main window in DWLP_USER.
void onAddSourceInit(HWND dialog, HWND mainWindow) {
  SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(mainWindow));
  auto icon = static_cast<HICON>(
      LoadImageW(resourceModule(), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 0, 0, LR_SHARED));
  if (icon) SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  SetDlgItemTextW(dialog, IDC_SOURCE_PATH, L"");
}

void onBrowseSource(HWND dialog) {
  HWND field = GetDlgItem(dialog, IDC_SOURCE_PATH);
  std::wstring path = controlText(field);
  if (browseForFolder(dialog, texts::kPickSourceTitle, path)) SetWindowTextW(field, path.c_str());
}

void onAddSource(HWND dialog) {
  auto mainWindow = reinterpret_cast<HWND>(GetWindowLongPtrW(dialog, DWLP_USER));
  std::wstring path = withoutTrailingBackslash(controlText(GetDlgItem(dialog, IDC_SOURCE_PATH)));
  HWND list = GetDlgItem(mainWindow, IDC_SOURCE_LIST);
  if (addSource(list, path))
    updateHorizontalExtent(list);
  else
    MessageBoxW(dialog, texts::kAlreadyListed, texts::kCaptionConfirm, MB_OK);
  EndDialog(dialog, 1);
}

INT_PTR CALLBACK addSourceProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  try {
    switch (message) {
      case WM_INITDIALOG:
        onAddSourceInit(dialog, reinterpret_cast<HWND>(lParam));
        return TRUE;  // focus goes to the path field
      case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
      case WM_COMMAND:
        switch (LOWORD(wParam)) {
          case IDC_BROWSE_SOURCE:
            onBrowseSource(dialog);
            return TRUE;
          case IDOK:
            onAddSource(dialog);
            return TRUE;
          case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        }
        break;
    }
  } catch (...) {
  }
  return FALSE;
}

}  // namespace

void installDropTargets(HWND mainWindow) {
  replaceProcedure(GetDlgItem(mainWindow, IDC_DESTINATION), handleDestinationDrop);
  replaceProcedure(GetDlgItem(mainWindow, IDC_SOURCE_LIST), handleSourceDrop);
}

LRESULT CALLBACK handleSourceDrop(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DROPFILES) return passOn(list, message, wParam, lParam);
  try {
    auto drop = reinterpret_cast<HDROP>(wParam);
    std::vector<std::wstring> paths = droppedPaths(drop);
    DragFinish(drop);
    // Drops are taken during a run too: a run works on the sources listed
    // when it started.
    addSources(list, paths);
  } catch (...) {
  }
  return 0;
}

LRESULT CALLBACK handleDestinationDrop(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DROPFILES) return passOn(box, message, wParam, lParam);
  try {
    auto drop = reinterpret_cast<HDROP>(wParam);
    std::optional<std::wstring> first;
    if (DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0) > 0) first = droppedPath(drop, 0);
    DragFinish(drop);
    if (first) SetWindowTextW(box, first->c_str());
  } catch (...) {
  }
  return 0;
}

std::vector<std::wstring> droppedPaths(HDROP drop) {
  std::vector<std::wstring> paths;
  UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  for (UINT i = 0; i < count; ++i) paths.push_back(droppedPath(drop, i));
  return paths;
}

std::wstring controlText(HWND control) {
  int length = GetWindowTextLengthW(control);
  if (length <= 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  int copied = GetWindowTextW(control, text.data(), length + 1);
  text.resize(static_cast<size_t>(std::clamp(copied, 0, length)));
  return text;
}

std::vector<std::wstring> sourceEntries(HWND list) {
  std::vector<std::wstring> entries;
  auto count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    auto length = static_cast<int>(SendMessageW(list, LB_GETTEXTLEN, i, 0));
    if (length < 0) length = 0;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    auto copied =
        static_cast<int>(SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data())));
    text.resize(static_cast<size_t>(std::clamp(copied, 0, length)));
    entries.push_back(std::move(text));
  }
  return entries;
}

bool isSourceListed(HWND list, const std::wstring& path) {
  for (const std::wstring& entry : sourceEntries(list))
    if (sameName(entry, path)) return true;
  return false;
}

bool addSource(HWND list, const std::wstring& path) {
  if (isSourceListed(list, path)) return false;
  SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(path.c_str()));
  return true;
}

void addSources(HWND list, const std::vector<std::wstring>& paths) {
  // Each path is compared with the list as it is now, so the same folder
  // given twice is added once.
  for (const std::wstring& path : paths) addSource(list, path);
  updateHorizontalExtent(list);
}

void updateHorizontalExtent(HWND list) {
  LONG widest = 0;
  {
    ScopedGetDC dc(list);
    if (dc.get()) {
      auto font = reinterpret_cast<HGDIOBJ>(SendMessageW(list, WM_GETFONT, 0, 0));
      std::optional<ScopedSelectObject> selected;
      if (font) selected.emplace(dc.get(), font);
      for (const std::wstring& entry : sourceEntries(list)) {
        SIZE size{};
        if (GetTextExtentPoint32W(dc.get(), entry.c_str(), static_cast<int>(entry.size()), &size))
          widest = std::max(widest, size.cx);
      }
    }
  }
  SendMessageW(list, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(widest), 0);
}

void removeSelectedSource(HWND mainWindow) {
  HWND list = GetDlgItem(mainWindow, IDC_SOURCE_LIST);
  auto selected = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
  if (selected >= 0) SendMessageW(list, LB_DELETESTRING, selected, 0);
  auto left = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  SendMessageW(list, LB_SETCURSEL, selected == left ? selected - 1 : selected, 0);
  updateHorizontalExtent(list);
}

INT_PTR showAddSourceDialog(HWND mainWindow) {
  return DialogBoxParamW(resourceModule(), MAKEINTRESOURCEW(IDD_ADD_SOURCE), mainWindow,
                         addSourceProc, reinterpret_cast<LPARAM>(mainWindow));
}

std::wstring withoutTrailingBackslash(std::wstring text) {
  if (!text.empty() && text.back() == L'\\') text.pop_back();
  return text;
}

bool browseForFolder(HWND owner, const wchar_t* title, std::wstring& path) {
  HRESULT com = CoInitialize(nullptr);
  wchar_t displayName[MAX_PATH] = {};
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pszDisplayName = displayName;
  info.lpszTitle = title;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = pickerCallback;
  info.lParam = reinterpret_cast<LPARAM>(path.c_str());
  bool chosen = false;
  if (LPITEMIDLIST item = SHBrowseForFolderW(&info)) {
    wchar_t chosenPath[MAX_PATH] = {};
    if (SHGetPathFromIDListW(item, chosenPath)) {
      path = chosenPath;
      chosen = true;
    }
    CoTaskMemFree(item);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return chosen;
}

void browseDestination(HWND mainWindow) {
  HWND box = GetDlgItem(mainWindow, IDC_DESTINATION);
  std::wstring path = controlText(box);
  if (browseForFolder(mainWindow, texts::kPickDestinationTitle, path))
    SetWindowTextW(box, path.c_str());
}
