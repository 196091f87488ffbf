// Program entry and the install flow: open our own file, check the stub, read
// the archive header, propose a folder, run the install dialog (or, with /S,
// the extraction alone), and after a successful installation record the
// program with the shell and start it. The names recorded come from the
// identity record.
#include "archive/extract.h"
#include "archive/header.h"
#include "archive/messages.h"
#include "archive/paths.h"
#include "codec/crc32.h"
#include "install_state.h"
#include "shell/arguments.h"
#include "shell/shell.h"

uint8_t silentMode;
uint8_t failureReported;

namespace {

// HKEY_LOCAL_MACHINE's keys "App Paths\PROGRAM" and "Uninstall\PRODUCT".
const char SYSTEM_KEY[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\%s\\%s";
const char USER_KEY[] = "Software\\%s\\%s";

// Key names: the longest fixed part and the longest field.
const uint32_t KEY_NAME_SIZE = sizeof SYSTEM_KEY - 4 + sizeof "App Paths" - 1 + ID_PROGRAM_SIZE;

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
    WritePrivateProfileStringA(iniSection, iniKey, text, identity()->iniFile);
  }
}

// The App Paths key, named after the program's file name.
void appPathKey(char* key) {
  formatText(key, KEY_NAME_SIZE, SYSTEM_KEY, "App Paths", fileNamePart(const_cast<char*>(identity()->program)));
}

// The default folder: where an earlier installation put the program (the
// App Paths value, else the ini file), else the product's folder under
// Program Files on systems that have one, else C:\PRODUCT.
void proposeFolder() {
  const IdentityRecord* id = identity();
  char* path = state.installPath;
  path[0] = 0;
  char key[KEY_NAME_SIZE];
  appPathKey(key);
  HKEY opened;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &opened) == ERROR_SUCCESS) {
    DWORD type = 0, size = PATH_CAPACITY;
    // A value stored without its terminator fills all 260 bytes; the 261st
    // ends it. A failed query (too long a value) leaves undefined contents.
    if (RegQueryValueExA(opened, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size) == ERROR_SUCCESS &&
        type == REG_SZ)
      path[size] = 0;
    else
      path[0] = 0;
    RegCloseKey(opened);
  }
  if (!path[0]) GetPrivateProfileStringA("Install", "Path", "", path, PATH_CAPACITY, id->iniFile);
  *fileNamePart(path) = 0;
  stripTrailingSeparators(path);
  if (!path[0] && state.osMajorVersion >= 4 && fileAttributes(PROGRAM_FILES_FOLDER) != INVALID_ATTRIBUTES)
    formatText(path, INSTALL_PATH_SIZE, "%s\\%s", PROGRAM_FILES_FOLDER, id->product);
  if (!path[0]) formatText(path, INSTALL_PATH_SIZE, "C:\\%s", id->product, nullptr);
}

// Records the program that the extraction left in the folder state.installPath
// (which ends in a separator) and starts it unless silent. The program's path
// is composed apart from installPath: a folder of up to 259 characters plus
// the program's name does not fit there.
void registerAndLaunch() {
  const IdentityRecord* id = identity();
  char program[INSTALL_PATH_SIZE + ID_PROGRAM_SIZE];
  formatText(program, sizeof program, "%s%s", state.installPath, id->program);
  char full[PATH_CAPACITY];
  uint32_t n = GetFullPathNameA(program, PATH_CAPACITY, full, nullptr);
  // 0 is a failure; PATH_CAPACITY or more is the size it would need: such a
  // path cannot name an extracted file, so there is nothing to record.
  if (n == 0 || n >= PATH_CAPACITY) return;

  char key[KEY_NAME_SIZE];
  appPathKey(key);
  recordValue(HKEY_LOCAL_MACHINE, key, nullptr, full, "Install", "Path");
  formatText(key, KEY_NAME_SIZE, USER_KEY, id->publisher, id->product);
  recordValue(HKEY_CURRENT_USER, key, "Setup", "1", "Options", "Setup");
  // The uninstall entry has no ini fallback; its two values are written one
  // after the other, each through its own opening of the key.
  char command[UNINSTALL_TEXT_SIZE];
  formatText(command, sizeof command, "\"%s\" /uninstall", full, nullptr);
  formatText(key, KEY_NAME_SIZE, SYSTEM_KEY, "Uninstall", id->product);
  recordValue(HKEY_LOCAL_MACHINE, key, "DisplayName", id->product, nullptr, nullptr);
  recordValue(HKEY_LOCAL_MACHINE, key, "UninstallString", command, nullptr, nullptr);

  // Started by its quoted path, the uninstall command without its switch:
  // unquoted, "C:\Program Files\..." would first run a C:\Program.exe.
  command[n + 2] = 0;
  if (!silentMode) WinExec(command, SW_SHOWNORMAL);
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

// /S: the Install command without a dialog, replacing existing files.
ResultCode installSilently() {
  state.overwriteAll = 1;
  ResultCode rc = extractArchive(nullptr);
  if (rc < 0) reportResult(nullptr, rc, nullptr, 0);
  return rc;
}

}  // namespace

int runInstaller(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  char folder[INSTALL_PATH_SIZE];
  int arguments = readArguments(commandLine, folder, INSTALL_PATH_SIZE);
  silentMode = arguments & ARGUMENT_SILENT;
  composeCaption();
  state.osMajorVersion = (int8_t)(GetVersion() & 0xFF);
  GetModuleFileNameA(instance, state.installPath, INSTALL_PATH_SIZE);
  formatText(state.stubName, PATH_CAPACITY, "%s", fileNamePart(state.installPath), nullptr);
  state.archiveFile = fileOpen(state.installPath, ACCESS_READ);

  ResultCode rc = startUp();
  if (rc < 0) {
    reportResult(nullptr, rc, nullptr, 0);
  } else if (state.header.entryCount == 0) {
    failureReported = 1;
    if (!silentMode) MessageBoxA(nullptr, "Archive contains no files", installerCaption, MB_OK);
  } else {
    if (arguments & ARGUMENT_FOLDER)
      formatText(state.installPath, INSTALL_PATH_SIZE, "%s", folder, nullptr);
    else
      proposeFolder();
    state.instance = instance;
    rc = silentMode ? installSilently()
                    : (ResultCode)DialogBoxParamA(instance, MAKEINTRESOURCEA(DIALOG_INSTALL), nullptr,
                                                  installDialogProc, 0);
    if (rc >= 0) registerAndLaunch();
  }
  if (state.archiveFile != INVALID_FILE) fileClose(state.archiveFile);
  if (failureReported) return EXIT_INSTALL_FAILED;
  return rc < 0 ? EXIT_USER_CANCELLED : EXIT_INSTALLED;
}

// The process entry (the linker's -e): there is no C runtime to call main.
extern "C" void stubEntry() {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  ExitProcess(runInstaller(instance, nullptr, GetCommandLineA(), SW_SHOWNORMAL));
}
