#include "support/main_window_driver.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <atomic>
#include <cstring>
#include <new>

#include "app/main_window.h"
#include "base/program_folder.h"
#include "base/run_state.h"
#include "base/text.h"
#include "log/run_log.h"
#include "res/resource.h"
#include "settings/settings_file.h"

namespace {

// How run threads start (see RunThreads).
std::atomic<int> requestedThreads{0};
std::atomic<RunThreads::Mode> threadMode{RunThreads::Mode::Immediate};
HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

struct HeldStart {
  LPTHREAD_START_ROUTINE procedure;
  LPVOID parameter;
};

DWORD WINAPI heldRun(LPVOID start) {
  HeldStart held = *static_cast<HeldStart*>(start);
  delete static_cast<HeldStart*>(start);
  WaitForSingleObject(gate, 30000);  // a forgotten release() cannot hang the suite
  return held.procedure(held.parameter);
}

HANDLE startForTest(LPTHREAD_START_ROUTINE procedure, LPVOID parameter) {
  ++requestedThreads;
  switch (threadMode.load()) {
    case RunThreads::Mode::Failing:
      return nullptr;
    case RunThreads::Mode::Throwing:
      throw std::bad_alloc();
    case RunThreads::Mode::Held: {
      auto* start = new HeldStart{procedure, parameter};
      HANDLE thread = CreateThread(nullptr, 0, heldRun, start, 0, nullptr);
      if (!thread) delete start;
      return thread;
    }
    default:
      return CreateThread(nullptr, 0, procedure, parameter, 0, nullptr);
  }
}

std::wstring itemText(HWND control, UINT lengthMessage, UINT textMessage, int index) {
  auto length = static_cast<int>(SendMessageW(control, lengthMessage, index, 0));
  if (length < 0) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  auto copied = static_cast<int>(
      SendMessageW(control, textMessage, index, reinterpret_cast<LPARAM>(text.data())));
  text.resize(static_cast<size_t>(copied < 0 ? 0 : copied));
  return text;
}

// Answers whatever message boxes the process shows, so that a test that
// failed half-way still lets its run end and its window close.
void dismissMessageBoxes() {
  for (HWND w : topLevelWindows())
    if (isMessageBox(w)) {
      MessageBoxContent box = readMessageBox(w);
      pressButton(w, box.hasButton(IDNO) ? IDNO : IDOK);
    }
}

}  // namespace

MainWindowDriver::MainWindowDriver() {
  setProgramFolder(programFolder_.path() + L"\\");
  resetLogPaths();
  runState.running = false;
  runState.cancelRequested = false;
}

MainWindowDriver::~MainWindowDriver() {
  SetEvent(gate);  // a run held by the test must be able to end
  if (ui_ && !ui_->finished()) {
    waitUntil(
        [] {
          dismissMessageBoxes();
          return !runState.running.load();
        },
        10000);
    // Dialogs a failed test left open on the UI thread go first, then the
    // main window.
    for (HWND w : topLevelWindows(ui_->threadId()))
      if (w != window_ && IsWindowVisible(w)) PostMessageW(w, WM_CLOSE, 0, 0);
    if (IsWindow(window_)) PostMessageW(window_, WM_CLOSE, 0, 0);
    ui_->join();
  }
  ui_.reset();
  resetLogPaths();
}

std::wstring MainWindowDriver::settingsFile() const { return settingsPath(); }

void MainWindowDriver::writeSetting(const wchar_t* section, const wchar_t* key,
                                    const std::wstring& value) const {
  // A new file starts with the UTF-16 mark, as the program makes it, so
  // that the profile functions keep every character.
  if (!fileExists(settingsPath())) writeFile(settingsPath(), "\xFF\xFE");
  WritePrivateProfileStringW(section, key, value.c_str(), settingsPath().c_str());
}

bool MainWindowDriver::open(const CommandLine& commandLine) {
  ui_ = std::make_unique<UiThread>(
      [commandLine] { return showMainWindow(GetModuleHandleW(nullptr), commandLine); });
  window_ = waitForTopLevel(
      [](HWND w) { return windowClass(w) == L"#32770" && GetDlgItem(w, IDC_RUN) != nullptr; },
      ui_->threadId());
  return window_ && settle(window_);
}

void MainWindowDriver::command(int id) const {
  SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item(id)));
}

void MainWindowDriver::postCommand(int id) const { pressButton(window_, id); }

void MainWindowDriver::click(int id) const { SendMessageW(item(id), BM_CLICK, 0, 0); }

void MainWindowDriver::drop(int id, const std::vector<std::wstring>& paths) const {
  SendMessageW(item(id), WM_DROPFILES, reinterpret_cast<WPARAM>(makeDrop(paths)), 0);
}

std::wstring MainWindowDriver::text(int id) const { return windowText(id ? item(id) : window_); }

bool MainWindowDriver::checked(int id) const {
  return SendMessageW(item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::vector<std::wstring> MainWindowDriver::sources() const {
  HWND list = item(IDC_SOURCE_LIST);
  std::vector<std::wstring> entries;
  auto count = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) entries.push_back(itemText(list, LB_GETTEXTLEN, LB_GETTEXT, i));
  return entries;
}

std::vector<std::wstring> MainWindowDriver::destinationList() const {
  HWND box = item(IDC_DESTINATION);
  std::vector<std::wstring> entries;
  auto count = static_cast<int>(SendMessageW(box, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i)
    entries.push_back(itemText(box, CB_GETLBTEXTLEN, CB_GETLBTEXT, i));
  return entries;
}

int MainWindowDriver::selectedSource() const {
  return static_cast<int>(SendMessageW(item(IDC_SOURCE_LIST), LB_GETCURSEL, 0, 0));
}

bool MainWindowDriver::waitForIdle(DWORD timeoutMs) const {
  return waitUntil([] { return !runState.running.load(); }, timeoutMs);
}

HWND MainWindowDriver::waitForOwnedMessageBox(DWORD timeoutMs) const {
  MessageBoxQuery query;
  query.owner = window_;
  return waitForMessageBox(query, timeoutMs);
}

bool MainWindowDriver::waitClosed(DWORD timeoutMs) { return ui_ && ui_->join(timeoutMs); }

namespace {

// Walks the words of a dialog template.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* data) : at_(data) {}
  WORD word() {
    WORD w;
    std::memcpy(&w, at_, sizeof w);
    at_ += sizeof w;
    return w;
  }
  DWORD dword() {
    DWORD d;
    std::memcpy(&d, at_, sizeof d);
    at_ += sizeof d;
    return d;
  }
  short shortValue() { return static_cast<short>(word()); }
  std::wstring string() {
    std::wstring text;
    for (WORD w = word(); w; w = word()) text += static_cast<wchar_t>(w);
    return text;
  }
  // A string, or 0xFFFF and an ordinal (given as "#n" or the class's name).
  std::wstring stringOrOrdinal() {
    WORD first = word();
    if (first == 0xFFFF) {
      switch (WORD ordinal = word()) {
        case 0x80:
          return L"Button";
        case 0x81:
          return L"Edit";
        case 0x82:
          return L"Static";
        case 0x83:
          return L"ListBox";
        case 0x84:
          return L"ScrollBar";
        case 0x85:
          return L"ComboBox";
        default:
          return L"#" + std::to_wstring(ordinal);
      }
    }
    std::wstring text;
    for (WORD w = first; w; w = word()) text += static_cast<wchar_t>(w);
    return text;
  }
  void skip(size_t bytes) { at_ += bytes; }
  void alignToDword(const BYTE* base) {
    while ((at_ - base) % 4) ++at_;
  }

 private:
  const BYTE* at_;
};

}  // namespace

DialogTemplate readDialogTemplate(int id) {
  DialogTemplate result;
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(5));  // RT_DIALOG
  if (!found) return result;
  auto* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
  TemplateReader in(base);
  if (in.word() != 1 || in.word() != 0xFFFF) return result;  // not a DLGTEMPLATEEX
  in.dword();                                                // help id
  result.exStyle = in.dword();
  result.style = in.dword();
  WORD count = in.word();
  in.shortValue();  // x
  in.shortValue();  // y
  result.width = in.shortValue();
  result.height = in.shortValue();
  in.stringOrOrdinal();  // menu
  in.stringOrOrdinal();  // class
  result.title = in.string();
  if (result.style & DS_SETFONT) {
    result.pointSize = in.word();
    in.word();   // weight
    in.skip(2);  // italic, charset
    result.font = in.string();
  }
  for (WORD i = 0; i < count; ++i) {
    in.alignToDword(base);
    TemplateItem item;
    in.dword();  // help id
    item.exStyle = in.dword();
    item.style = in.dword();
    item.x = in.shortValue();
    item.y = in.shortValue();
    item.width = in.shortValue();
    item.height = in.shortValue();
    item.id = static_cast<int>(in.dword());
    item.className = in.stringOrOrdinal();
    item.text = in.stringOrOrdinal();
    in.skip(in.word());  // creation data
    result.items.push_back(std::move(item));
  }
  return result;
}

HGLOBAL makeDrop(const std::vector<std::wstring>& paths) {
  size_t units = 1;  // the list's final NUL
  for (const std::wstring& path : paths) units += path.size() + 1;
  HGLOBAL memory =
      GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + units * sizeof(wchar_t));
  auto* header = static_cast<DROPFILES*>(GlobalLock(memory));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  auto* names = reinterpret_cast<wchar_t*>(reinterpret_cast<char*>(header) + sizeof(DROPFILES));
  for (const std::wstring& path : paths) {
    std::memcpy(names, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    names += path.size() + 1;
  }
  GlobalUnlock(memory);
  return memory;
}

// --- RunThreads -------------------------------------------------------------

RunThreads::RunThreads(Mode mode) {
  requestedThreads = 0;
  threadMode = mode;
  ResetEvent(gate);
  setRunThreadStarter(startForTest);
}

RunThreads::~RunThreads() {
  release();
  setRunThreadStarter(nullptr);
}

void RunThreads::release() { SetEvent(gate); }

int RunThreads::requested() const { return requestedThreads.load(); }

void expectTemplateItems(const DialogTemplate& dialog, const std::vector<TemplateItem>& expected) {
  ASSERT_EQ(dialog.items.size(), expected.size());
  for (size_t i = 0; i < dialog.items.size(); ++i) {
    const TemplateItem &have = dialog.items[i], &want = expected[i];
    SCOPED_TRACE(want.id);
    EXPECT_EQ(have.id, want.id);
    EXPECT_TRUE(sameName(have.className, want.className)) << have.className;
    EXPECT_EQ(have.text, want.text);
    EXPECT_EQ(have.style, want.style | WS_CHILD | WS_VISIBLE);
    EXPECT_EQ((std::vector<short>{have.x, have.y, have.width, have.height}),
              (std::vector<short>{want.x, want.y, want.width, want.height}));
  }
}
