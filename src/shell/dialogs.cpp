// The install dialog, the overwrite prompt, and the front-end seam through
// which the extraction driver reaches them.
#include "archive/extract.h"
#include "archive/messages.h"
#include "archive/paths.h"
#include "frontend.h"
#include "install_state.h"
#include "shell/shell.h"

namespace {

// With the product's name and version ("Tovrel 0.93 Beta").
const char INSTRUCTION[] =
    "Click the Install button to install %s to the folder below.\n"
    "If the folder does not exist, it will be created.";

// Set while the Install command runs the extraction. The driver pumps this
// dialog's messages between records, so a second Install or a Browse can
// arrive then; both are ignored, since the driver works on the one
// InstallState and a browser would stack a modal loop over it.
bool extracting;

// The progress line. Setting a control's text repaints it, which costs more
// than writing a small file, so the line changes on a timer tick instead of
// on every file: showProgress keeps the latest line, and the tick (handled
// whenever the driver pumps messages) shows it if it changed. The first line
// of a run shows at once.
const UINT_PTR PROGRESS_TIMER = 1;
const UINT PROGRESS_INTERVAL_MS = 50;
char progressLine[MESSAGE_TEXT_SIZE];
bool progressChanged;

void refreshProgress(HWND dialog) {
  if (!progressChanged) return;
  progressChanged = false;
  SetDlgItemTextA(dialog, ID_PROGRESS, progressLine);
}

// Cancel and the close box. During an extraction they only ask the driver to
// stop; the Install command then ends the dialog itself, so there is exactly
// one end request and it carries the outcome.
void cancel(HWND dialog) {
  state.cancelRequested = 1;
  if (!extracting) EndDialog(dialog, RC_CANCELLED);
}

void install(HWND dialog) {
  if (extracting) return;
  GetDlgItemTextA(dialog, ID_FOLDER_FIELD, state.installPath, INSTALL_PATH_SIZE);
  state.overwriteAll = IsDlgButtonChecked(dialog, ID_OVERWRITE_ALL) > 0;
  extracting = true;
  SetTimer(dialog, PROGRESS_TIMER, PROGRESS_INTERVAL_MS, nullptr);
  ResultCode rc = extractArchive(dialog);
  KillTimer(dialog, PROGRESS_TIMER);
  extracting = false;
  // A Cancel that arrived while the last record was finishing still counts:
  // the user asked not to go on, so nothing is registered or started, just as
  // for a Cancel a record earlier. The files stay, as after any cancel.
  if (state.cancelRequested) rc = RC_CANCELLED;
  if (rc < 0) reportResult(dialog, rc, nullptr, 0);
  EndDialog(dialog, rc);
}

void browse(HWND dialog) {
  if (extracting) return;
  char folder[BROWSE_BUFFER_SIZE];
  GetDlgItemTextA(dialog, ID_FOLDER_FIELD, folder, PATH_CAPACITY);
  if (!browseForFolder(dialog, folder)) return;
  stripTrailingSeparators(folder);
  // Choosing a parent folder proposes the product folder inside it.
  const char* product = identity()->product;
  char* slash = lastIndexOfByte(folder, '\\');
  if (slash && lstrcmpiA(slash + 1, product) != 0) {
    char* end = appendSeparator(folder);
    formatText(end, (uint32_t)(folder + sizeof folder - end), "%s", product, nullptr);
  }
  SetDlgItemTextA(dialog, ID_FOLDER_FIELD, folder);
}

}  // namespace

INT_PTR CALLBACK installDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowTextA(dialog, installerCaption);
      const IdentityRecord* id = identity();
      char title[ID_PRODUCT_SIZE + ID_VERSION_SIZE];
      formatText(title, sizeof title, id->version[0] ? "%s %s" : "%s", id->product, id->version);
      formatText(state.messageText, MESSAGE_TEXT_SIZE, INSTRUCTION, title, nullptr);
      SetDlgItemTextA(dialog, ID_INSTRUCTION, state.messageText);
      if (state.overwriteAll) CheckDlgButton(dialog, ID_OVERWRITE_ALL, BST_CHECKED);
      SetDlgItemTextA(dialog, ID_FOLDER_FIELD, state.installPath);
      HWND field = GetDlgItem(dialog, ID_FOLDER_FIELD);
      SetFocus(field);
      SendMessageA(field, EM_SETSEL, 0, -1);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_INSTALL: install(dialog); return TRUE;
        case ID_CANCEL: cancel(dialog); return TRUE;
        case ID_BROWSE: browse(dialog); return TRUE;
        default: return FALSE;
      }
    case WM_TIMER:
      refreshProgress(dialog);
      return TRUE;
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != SC_CLOSE) return FALSE;
      cancel(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

// lParam: the existing file's full path. Esc (IDCANCEL) is not one of the
// three answers, so the prompt closes only through its buttons.
INT_PTR CALLBACK overwritePromptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowTextA(dialog, installerCaption);
    formatText(state.messageText, MESSAGE_TEXT_SIZE, "File %s already exists. Overwrite?",
               reinterpret_cast<const char*>(lParam), nullptr);
    SetDlgItemTextA(dialog, ID_QUESTION, state.messageText);
    return TRUE;
  }
  if (message == WM_COMMAND) {
    int id = LOWORD(wParam);
    if (id == OVERWRITE_ALL || id == OVERWRITE_YES || id == OVERWRITE_NO) EndDialog(dialog, id);
  }
  return FALSE;
}

int askOverwrite(const char* path) {
  return (int)DialogBoxParamA(static_cast<HINSTANCE>(state.instance), MAKEINTRESOURCEA(DIALOG_OVERWRITE),
                              nullptr, overwritePromptProc, reinterpret_cast<LPARAM>(path));
}

void showProgress(WindowHandle dialog, const char* text) {
  bool first = !progressLine[0];
  uint32_t i = 0;
  for (; text[i] && i < MESSAGE_TEXT_SIZE - 1; ++i) progressLine[i] = text[i];
  progressLine[i] = 0;
  progressChanged = true;
  if (first && dialog) refreshProgress(static_cast<HWND>(dialog));
}

// Every message is a failure's. In silent mode nobody can answer: the
// offered Cancel is taken, so the extraction stops at its first failure.
int showMessage(WindowHandle owner, const char* text, int offerCancel) {
  failureReported = 1;
  if (silentMode) return 0;
  UINT style = MB_ICONEXCLAMATION | (offerCancel ? MB_OKCANCEL : MB_OK);
  return MessageBoxA(static_cast<HWND>(owner), text, installerCaption, style) == IDOK;
}
