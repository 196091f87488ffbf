// Program entry and the install flow: open our own file, check the stub, read
// the archive header, propose a folder, run the install dialog, and after a
// successful installation record the program with the shell and start it.
#include "archive/header.h"
#include "archive/messages.h"
#include "archive/paths.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "shell/shell.h"

namespace {

const char APP_PATH_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Tovrel32.exe";
const char UNINSTALL_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tovrel";
const char USER_KEY[] = "Software\\Morvane\\Tovrel";
const char INI_FILE[] = "tovrel.ini";
const char PROGRAM_NAME[] = "Tovrel32.exe";

// The longest uninstall command: quotes around a 259-character path and
// " /uninstall", with the terminator.
const uint32_t UNINSTALL_TEXT_SIZE = 2 + PATH_MAX_CHARS + 11 + 1;

// Sets one REG_SZ value (its data length counting the terminator), creating
// the key; when the key cannot be created, writes the value to the ini file
// instead if an ini section is given.
void recordValue(HKEY root, const char* keyName, const char* name, const char* text, const char* iniSection,
                 const char* iniKey) {
  HKEY key;
  if (RegCreateKeyExA(root, keyName, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), lstrlenA(text) + 1);
    RegCloseKey(key);
  } else if (iniSection) {
    WritePrivateProfileStringA(iniSection, iniKey, text, INI_FILE);
  }
}

// The default folder: where an earlier installation put Tovrel32.exe (the
// App Paths value, else the ini file), else a folder under Program Files on
// systems that have one, else C:\Tovrel.
void proposeFolder() {
  char* path = state.installPath;
  path[0] = 0;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, APP_PATH_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    DWORD type = 0, size = PATH_CAPACITY;
    // A value stored without its terminator fills all 260 bytes; the 261st
    // ends it. A failed query (too long a value) leaves undefined contents.
    if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) == ERROR_SUCCESS &&
        type == REG_SZ)
      path[size] = 0;
    else
      path[0] = 0;
    RegCloseKey(key);
  }
  if (!path[0]) GetPrivateProfileStringA("Install", "Path", "", path, PATH_CAPACITY, INI_FILE);
  *fileNamePart(path) = 0;
  stripTrailingSeparators(path);
  if (!path[0] && state.osMajorVersion >= 4 && fileAttributes("C:\\Program Files") != INVALID_ATTRIBUTES)
    formatText(path, INSTALL_PATH_SIZE, "C:\\Program Files\\Tovrel", nullptr, nullptr);
  if (!path[0]) formatText(path, INSTALL_PATH_SIZE, "C:\\Tovrel", nullptr, nullptr);
}

// Records the program that the extraction left in the folder state.installPath
// (which ends in a separator) and starts it. The program's path is composed
// apart from installPath: a folder of up to 259 characters plus the
// program's name does not fit there.
void registerAndLaunch() {
  char program[INSTALL_PATH_SIZE + sizeof PROGRAM_NAME];
  formatText(program, sizeof program, "%s%s", state.installPath, PROGRAM_NAME);
  char full[PATH_CAPACITY];
  uint32_t n = GetFullPathNameA(program, PATH_CAPACITY, full, nullptr);
  // 0 is a failure; PATH_CAPACITY or more is the size it would need: such a
  // path cannot name an extracted file, so there is nothing to record.
  if (n == 0 || n >= PATH_CAPACITY) return;

  recordValue(HKEY_LOCAL_MACHINE, APP_PATH_KEY, nullptr, full, "Install", "Path");
  recordValue(HKEY_CURRENT_USER, USER_KEY, "Setup", "1", "Options", "Setup");
  // The uninstall entry has no ini fallback; its two values are written one
  // after the other, each through its own opening of the key.
  char command[UNINSTALL_TEXT_SIZE];
  formatText(command, sizeof command, "\"%s\" /uninstall", full, nullptr);
  recordValue(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, "DisplayName", "Tovrel", nullptr, nullptr);
  recordValue(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, "UninstallString", command, nullptr, nullptr);

  WinExec(full, SW_SHOWNORMAL);
}

// Steps up to the dialog; RC_OK when the dialog may open.
ResultCode startUp() {
  if (state.archiveFile == INVALID_FILE) return RC_OPEN_FAILED;
  buildCrcTable();
  ResultCode rc = verifyStub();
  if (rc < 0) return rc;
  if (fileSeek(state.archiveFile, 0, FROM_END) == SEEK_FAILED) return RC_SEEK_FAILED;
  return readArchiveHeader();
}

}  // namespace

int runInstaller(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  state.osMajorVersion = (int8_t)(GetVersion() & 0xFF);
  GetModuleFileNameA(instance, state.installPath, INSTALL_PATH_SIZE);
  formatText(state.stubName, PATH_CAPACITY, "%s", fileNamePart(state.installPath), nullptr);
  state.archiveFile = fileOpen(state.installPath, ACCESS_READ);

  ResultCode rc = startUp();
  if (rc < 0) {
    reportResult(nullptr, rc, nullptr, 0);
  } else if (state.header.entryCount == 0) {
    MessageBoxA(nullptr, "Archive contains no files", INSTALLER_CAPTION, MB_OK);
  } else {
    proposeFolder();
    state.instance = instance;
    if (DialogBoxParamA(instance, MAKEINTRESOURCEA(DIALOG_INSTALL), nullptr, installDialogProc, 0) >= 0)
      registerAndLaunch();
  }
  if (state.archiveFile != INVALID_FILE) fileClose(state.archiveFile);
  return 0;
}

// The process entry (the linker's -e): there is no C runtime to call main.
// The command line is fetched and passed on but never read: the installer
// takes no arguments.
extern "C" void stubEntry() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  ExitProcess(runInstaller(instance, nullptr, GetCommandLineA(), SW_SHOWNORMAL));
}
