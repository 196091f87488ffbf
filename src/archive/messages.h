// Result messages: the one place where a ResultCode becomes text. The text is
// composed into state.messageText here (portable, unit-tested); showing it is
// the front end's job (showMessage).
#pragma once

#include "platform/platform.h"
#include "result.h"

// Composes the message for `code` with `path` (state.stubName when null) and
// the suffix of lastSystemError into state.messageText: the installer's
// text, or in `jov` one line with systemErrorReason's words. Returns 0 when
// the code has no message (nothing composed, lastSystemError kept), else 1.
int composeMessage(ResultCode code, const char* path);

// Composes, clears lastSystemError, shows the message through the front end.
// Returns 0 to go on (askToContinue and the user chose OK), 1 to stop; 0 for
// codes without a message.
int reportResult(WindowHandle owner, ResultCode code, const char* path, int askToContinue);

// The installer's second line describing lastSystemError ("\nAccess
// denied"), or "".
const char* systemErrorText();

#ifndef JOV_STUB
// `jov`'s words for a system error, the C library's (untranslated) for the
// same cause on Linux: every message of `jov` that gives a reason takes it
// from here. systemErrorReason: for a Win32 number as the platform layer
// saves it ("No such file or directory" for ERR_FILE_NOT_FOUND), "" for 0
// and for numbers the POSIX layer never saves; errnoReason: for errno.
const char* systemErrorReason(uint32_t error);
const char* errnoReason(int error);
#endif

// Formats `format` into `out` (capacity bytes including the terminator),
// replacing each "%s" in turn with one of the given strings. The stub's
// replacement for wsprintfA with "%s" only; the result is always terminated
// and truncated to fit. Returns the length written.
uint32_t formatText(char* out, uint32_t capacity, const char* format, const char* first,
                    const char* second);
