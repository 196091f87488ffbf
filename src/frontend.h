// The front-end seam: what the extraction driver and the messages need from
// whoever runs them. Declared once here, defined once per front end: by the
// Win32 dialogs in shell/ (the stub) and by the console in cli/ (`jov`).
// Link-time choice; no function pointers.
#pragma once

#include "platform/platform.h"

// Answers of the overwrite question (the prompt's button ids).
const int OVERWRITE_ALL = 108;  // replace this file and all later ones
const int OVERWRITE_YES = 109;  // replace this file
const int OVERWRITE_NO = 110;   // keep the existing file, skip the record

// Asks whether the existing file at `path` (full path) is to be replaced.
int askOverwrite(const char* path);

// Shows one line of progress (the text of the dialog's control 102).
void showProgress(WindowHandle dialog, const char* text);

// Shows a composed message. With offerCancel, returns 1 when the user chose
// OK (go on) and 0 for Cancel; without it, the result is ignored.
int showMessage(WindowHandle owner, const char* text, int offerCancel);
