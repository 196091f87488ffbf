// Placeholder entry of the stub until the install flow exists: it proves the
// cross build, the Win32 layer and the messages by showing the damaged-archive
// message.
#include <windows.h>

#include "archive/messages.h"
#include "frontend.h"
#include "install_state.h"

int askOverwrite(const char*) { return OVERWRITE_YES; }

void showProgress(WindowHandle dialog, const char* text) {
  SetDlgItemTextA(static_cast<HWND>(dialog), 102, text);
}

int showMessage(WindowHandle owner, const char* text, int offerCancel) {
  UINT style = MB_ICONEXCLAMATION | (offerCancel ? MB_OKCANCEL : MB_OK);
  return MessageBoxA(static_cast<HWND>(owner), text, INSTALLER_CAPTION, style) == IDOK;
}

extern "C" void stubEntry() {
  state.instance = GetModuleHandleA(nullptr);
  reportResult(nullptr, RC_DAMAGED, nullptr, 0);
  ExitProcess(0);
}
