/* reglock lock|unlock SUBKEY: an empty access list on a key of
 * HKEY_CURRENT_USER (creating it again fails with access denied, in Wine as
 * in Windows), or none (everybody may open it). */
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int lock = strcmp(argv[1], "lock") == 0;
  HKEY key;
  SECURITY_DESCRIPTOR sd;
  ACL empty;
  if ((lock ? RegCreateKeyExA(HKEY_CURRENT_USER, argv[2], 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)
            : RegOpenKeyExA(HKEY_CURRENT_USER, argv[2], 0, WRITE_DAC, &key)) != ERROR_SUCCESS)
    return 1;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  InitializeAcl(&empty, sizeof empty, ACL_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, lock ? &empty : NULL, FALSE);
  LONG r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
  RegCloseKey(key);
  return r == ERROR_SUCCESS ? 0 : 1;
}
