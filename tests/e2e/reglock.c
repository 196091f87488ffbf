/* reglock lock|unlock KEY...: an empty access list on each key (creating it
 * again fails with access denied, in Wine as in Windows), or none (everybody
 * may open it). Each KEY starts with HKCU\ or HKLM\. */
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int lock = strcmp(argv[1], "lock") == 0;
  for (int i = 2; i < argc; ++i) {
    HKEY root = strncmp(argv[i], "HKLM\\", 5) == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const char* name = argv[i] + 5;
    HKEY key;
    SECURITY_DESCRIPTOR sd;
    ACL empty;
    if ((lock ? RegCreateKeyExA(root, name, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)
              : RegOpenKeyExA(root, name, 0, WRITE_DAC, &key)) != ERROR_SUCCESS)
      return 1;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, lock ? &empty : NULL, FALSE);
    LONG r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) return 1;
  }
  return 0;
}
