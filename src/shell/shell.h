// The shell folder owns the stub's Win32 program: it sits on top of the
// core and is compiled only into stub.exe (src/README.md).
//
// The installer shell: entry and install flow, the install dialog, the
// overwrite prompt, the folder browser and the stub self-check. Win32 only.
#pragma once

#include <windows.h>

#include "format.h"
#include "result.h"

// Dialog templates (src/resources/dialogs.rc) and their control ids.
enum {
  DIALOG_INSTALL = 1,
  DIALOG_OVERWRITE = 2,
  DIALOG_FOLDER = 3,

  ID_FOLDER_FIELD = 101,
  ID_PROGRESS = 102,
  ID_BROWSE = 103,
  ID_CANCEL = 104,
  ID_INSTRUCTION = 105,
  ID_OVERWRITE_ALL = 106,
  ID_INSTALL = 108,
  ID_QUESTION = 107,  // overwrite prompt
  ID_SELECTED_FOLDER = 111,  // old-style folder dialog
};

// Browse buffers hold a 259-character folder plus what the browsers append
// to it ("\*", "\x", "\" and the product's name) and the terminator.
const int BROWSE_BUFFER_SIZE = PATH_CAPACITY + ID_PRODUCT_SIZE;

// The identity record (format.h, "Installer identity"), as the build made it
// or `jov pack` rewrote it; fields in the code page, each terminated.
struct IdentityRecord {
  uint8_t magic[IDENTITY_MAGIC_SIZE];
  char product[ID_PRODUCT_SIZE];
  char version[ID_VERSION_SIZE];
  char publisher[ID_PUBLISHER_SIZE];
  char program[ID_PROGRAM_SIZE];
  char iniFile[ID_INI_FILE_SIZE];
};
const IdentityRecord* identity();

// "PRODUCT Installation": the caption of every window and message box.
extern char installerCaption[ID_PRODUCT_SIZE + sizeof " Installation" - 1];
void composeCaption();

// How this run goes, from its arguments (shell/arguments.h).
extern uint8_t silentMode;
// Set by every failure message, shown or (in silent mode) not: the run
// then ends with EXIT_INSTALL_FAILED.
extern uint8_t failureReported;

int runInstaller(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show);

INT_PTR CALLBACK installDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK overwritePromptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The Browse command's browsers: nonzero when the user chose a folder, which
// `folder` (BROWSE_BUFFER_SIZE bytes) then holds.
int browseForFolder(HWND owner, char* folder);
int shellBrowse(HWND owner, char* folder);
int CALLBACK shellBrowseCallback(HWND browser, UINT message, LPARAM lParam, LPARAM data);
UINT_PTR CALLBACK folderDialogHook(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// RC_OK with state.archiveOffset set; RC_MODIFIED after its own warning;
// RC_NO_MEMORY or RC_READ_FAILED. Needs state.archiveFile and crcTable.
ResultCode verifyStub();
