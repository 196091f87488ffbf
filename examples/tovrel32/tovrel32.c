/* Tovrel32.exe, the sample program that the example installer installs and
 * starts. It proves that it ran by writing "started.txt" beside itself (its
 * command line, one line per start, which the end-to-end tests read) and
 * shows a small window for a few seconds, then ends by itself. */
#include <windows.h>

static const char TITLE[] = "Tovrel 0.93 Beta";

static void writeMarker(void) {
  char path[MAX_PATH + 16];
  DWORD n = GetModuleFileNameA(NULL, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  char* slash = path + n;
  while (slash > path && slash[-1] != '\\') --slash;
  lstrcpyA(slash, "started.txt");
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  const char* line = GetCommandLineA();
  DWORD written;
  WriteFile(file, line, (DWORD)lstrlenA(line), &written, NULL);
  WriteFile(file, "\r\n", 2, &written, NULL);
  CloseHandle(file);
}

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      GetClientRect(window, &area);
      DrawTextA(dc, "Tovrel is installed and running.", -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
  (void)previous;
  (void)commandLine;
  writeMarker();
  WNDCLASSA windowClass = {0};
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(NULL, IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  windowClass.lpszClassName = "Tovrel32";
  RegisterClassA(&windowClass);
  HWND window = CreateWindowA("Tovrel32", TITLE, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, 200, 300, 320, 120, NULL,
                              NULL, instance, NULL);
  ShowWindow(window, show);
  SetTimer(window, 1, 4000, NULL);
  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
