// The Browse command's folder choosers: the shell's folder browser on
// systems of major version 4 or more, else the common open-file dialog
// turned into a folder chooser by template 3 and a hook.
#include <windows.h>
// windows.h first: the common-dialog and shell headers build on it.
#include <commdlg.h>
#include <shlobj.h>

#include "archive/messages.h"
#include "archive/paths.h"
#include "install_state.h"
#include "shell/shell.h"

namespace {

// Control ids of the open-file dialog's own controls that template 3 keeps.
const int ID_CURRENT_FOLDER = 1088;  // stc1, filled by the dialog; out of view
const int ID_FILE_NAME = 1152;       // edt1

// The first, 76-byte form of OPENFILENAME, which older systems accept.
const DWORD OPEN_FILE_REQUEST_SIZE = 76;
const DWORD FNERR_INVALID_FILE_NAME = 0x3002;

void copyControl(HWND dialog, int from, int to) {
  char text[PATH_CAPACITY];
  GetDlgItemTextA(dialog, from, text, PATH_CAPACITY);
  SetDlgItemTextA(dialog, to, text);
}

}  // namespace

int CALLBACK shellBrowseCallback(HWND browser, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED) SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, data);
  return 0;
}

int shellBrowse(HWND owner, char* folder) {
  static const char TITLE[] = "Select a folder for installation of %s.";
  char title[sizeof TITLE - 2 + ID_PRODUCT_SIZE - 1];
  formatText(title, sizeof title, TITLE, identity()->product, nullptr);
  BROWSEINFOA request = {};
  request.hwndOwner = owner;
  request.lpszTitle = title;
  request.lpfn = shellBrowseCallback;
  request.lParam = reinterpret_cast<LPARAM>(folder);
  LPITEMIDLIST item = SHBrowseForFolderA(&request);
  if (!item) return 0;
  SHGetPathFromIDListA(item, folder);
  CoTaskMemFree(item);
  return 1;
}

// The hook keeps the visible field 111 in step with the folder the dialog
// shows (control 1088), and on OK hands the dialog a file name inside the
// chosen folder ("x"), so that the dialog ends with that folder.
UINT_PTR CALLBACK folderDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    copyControl(dialog, ID_CURRENT_FOLDER, ID_SELECTED_FOLDER);
  } else if (message == WM_COMMAND) {
    if (LOWORD(wParam) == IDOK) {
      char text[PATH_CAPACITY + 2];
      GetDlgItemTextA(dialog, ID_SELECTED_FOLDER, text, PATH_CAPACITY);
      char* end = appendSeparator(text);
      end[0] = 'x';
      end[1] = 0;
      SetDlgItemTextA(dialog, ID_FILE_NAME, text);
    } else if (HIWORD(wParam) == EN_CHANGE && LOWORD(wParam) != ID_SELECTED_FOLDER) {
      copyControl(dialog, ID_CURRENT_FOLDER, ID_SELECTED_FOLDER);
    }
  }
  return 0;
}

int browseForFolder(HWND owner, char* folder) {
  if (state.osMajorVersion >= 4) return shellBrowse(owner, folder);

  // A folder ending in "\" (a drive root) is offered as every file in it.
  char* end = (char*)findByte(folder, 0, UNBOUNDED);
  if (end != folder && end[-1] == '\\') {
    end[0] = '*';
    end[1] = 0;
  }
  OPENFILENAMEA request = {};
  request.lStructSize = OPEN_FILE_REQUEST_SIZE;
  request.hwndOwner = owner;
  request.hInstance = static_cast<HINSTANCE>(state.instance);
  request.lpstrFilter = " \0x\0";
  request.nFilterIndex = 1;
  request.lpstrFile = folder;
  request.nMaxFile = PATH_CAPACITY;
  request.Flags = OFN_ENABLEHOOK | OFN_ENABLETEMPLATE;
  request.lpfnHook = folderDialogHook;
  request.lpTemplateName = MAKEINTRESOURCEA(DIALOG_FOLDER);

  BOOL chosen = GetOpenFileNameA(&request);
  if (!chosen && CommDlgExtendedError() == FNERR_INVALID_FILE_NAME) {
    folder[0] = 0;
    chosen = GetOpenFileNameA(&request);
  }
  // The dialog ends with the hook's "x" after the folder and a separator.
  if (chosen) {
    end = (char*)findByte(folder, 0, UNBOUNDED);
    if (end != folder) end[-1] = 0;
  }
  return chosen;
}
