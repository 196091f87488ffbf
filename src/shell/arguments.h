// The installer's interface to scripts and deployment tools: its arguments
// and its exit codes. Portable (no Win32), so that the host tests read
// command lines with it too.
//
//   Setup.exe [/S] [/D=FOLDER]
//
//   /S         silent: no window and no message box at all. Installs into
//              the default folder (or FOLDER), replacing existing files as
//              the dialog's overwrite box does, records the program as
//              usual and does not start it. The first failure ends the run.
//   /D=FOLDER  the install folder, which the dialog then proposes: the rest
//              of the command line, spaces included, so it comes last.
//              Quotes in it are dropped (a Windows path holds none).
//
// Letters in either case; quotes around an argument are allowed; anything
// else is ignored. Without arguments the installer runs its dialog.
#pragma once

#include <stdint.h>

enum InstallerExit {
  EXIT_INSTALLED = 0,       // every file installed; the program recorded
  EXIT_USER_CANCELLED = 1,  // the user cancelled the dialog or the extraction
  // Any failure that has a message (shown, or not in silent mode): damaged
  // data, a modified stub, no files, a folder or file that cannot be made.
  // Also when the user let the dialog go on after a failed file: the rest
  // was installed and recorded, but not every file.
  EXIT_INSTALL_FAILED = 2,
};

enum { ARGUMENT_SILENT = 1, ARGUMENT_FOLDER = 2 };

// Reads a command line as the system hands it over (the program's name
// first, quoted or not) and returns the ARGUMENT_ bits found. The folder of
// /D= goes into `folder` (capacity bytes, terminated), without trailing
// blanks; a longer one is cut to capacity - 1 characters, so with a capacity
// above 260 a folder too long for the installer stays too long.
int readArguments(const char* commandLine, char* folder, uint32_t capacity);
