/* reglock lock|unlock SUBKEY: gives a key under HKEY_CURRENT_USER an empty
 * access list (nobody may open it, so creating it again fails with access
 * denied) or takes the list away again (everybody may). The e2e scenario of
 * the per-user key that cannot be created uses it; Wine checks key access
 * the way Windows does. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int lock = strcmp(argv[1], "lock") == 0;
  HKEY key;
  LONG r = lock ? RegCreateKeyExA(HKEY_CURRENT_USER, argv[2], 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL)
                : RegOpenKeyExA(HKEY_CURRENT_USER, argv[2], 0, WRITE_DAC, &key);
  if (r != ERROR_SUCCESS) {
    fprintf(stderr, "reglock: cannot open %s: %ld\n", argv[2], r);
    return 1;
  }
  SECURITY_DESCRIPTOR sd;
  ACL empty;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  InitializeAcl(&empty, sizeof empty, ACL_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, lock ? &empty : NULL, FALSE);
  r = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) {
    fprintf(stderr, "reglock: cannot set the access list: %ld\n", r);
    return 1;
  }
  return 0;
}
