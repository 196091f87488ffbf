// The call filter against its forward transform.
//
// Input: a control byte (bit 0: mode 2 instead of 4), a piece length (u16,
// 0 taken as one piece), then the file's bytes. The file is cut into pieces
// as the stream's blocks would cut it; each piece is encoded on its own
// (convertCalls, and for mode 4 the packer's forwardFilterPiece, which must
// agree), then restored by writeFiltered into a file. The file must read back
// byte for byte, and runningCrc must be the CRC-32 of the original.
#include <string.h>
#include <unistd.h>

#include "codec/call_filter.h"
#include "codec/crc32.h"
#include "fuzz_support.h"
#include "packer/exe_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzInit();
  if (size < 3) return 0;
  const uint32_t mode = (data[0] & 1) ? 2 : 4;
  uint32_t pieceLength = readLe16(data + 1);
  const uint8_t* original = data + 3;
  const uint32_t length = (uint32_t)(size - 3);
  if (pieceLength == 0) pieceLength = length ? length : 1;

  std::vector<uint8_t> encoded(original, original + length);
  for (uint32_t at = 0; at < length; at += pieceLength) {
    uint32_t n = length - at < pieceLength ? length - at : pieceLength;
    if (mode == 4) {
      std::vector<uint8_t> packer(encoded.begin() + at, encoded.begin() + at + n);
      jov::forwardFilterPiece(packer.data(), n, at, length);
      convertCalls(encoded.data() + at, n, at, length, mode, true);
      fuzzCheck(memcmp(packer.data(), encoded.data() + at, n) == 0, "packer and core encode alike");
    } else {
      convertCalls(encoded.data() + at, n, at, length, mode, true);
    }
  }

  FileHandle out = memoryFile(nullptr, 0);
  state.filterMode = mode;
  state.runningCrc = 0xFFFFFFFFu;
  state.cancelRequested = 0;
  for (uint32_t at = 0; at < length; at += pieceLength) {
    uint32_t n = length - at < pieceLength ? length - at : pieceLength;
    fuzzCheck(writeFiltered(out, encoded.data() + at, n, at, length) == RC_OK, "restoring writes");
  }
  std::vector<uint8_t> restored = fileContents(out);
  fileClose(out);
  fuzzCheck(restored == std::vector<uint8_t>(original, original + length), "restored bytes equal the original");
  fuzzCheck(state.runningCrc == crc32Update(original, length, 0xFFFFFFFFu), "CRC over the restored bytes");
  return 0;
}
