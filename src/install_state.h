// InstallState: the one global record of a running installer (or of one
// `jov` command run over an archive). It lives for the whole run; the parts of
// the core read and write the fields they own, named as the format's readers
// name them. Flags are bytes holding 0 or 1; sizes and positions are unsigned
// 32-bit, because the format and the stub's 32-bit file API are.
#pragma once

#include <stdint.h>

#include "format.h"
#include "platform/platform.h"

// Longest message: "Cannot create folder %s%s" (21 characters besides the
// two %s) with a 260-character path and the longest suffix
// ("\nDisk is write protected", 24), plus the terminator: 306. Rounded up.
const uint32_t MESSAGE_TEXT_SIZE = 320;
const uint32_t INSTALL_PATH_SIZE = 261;

// streamKey before the first file: no stream is open.
const uint32_t NO_STREAM = 0xFFFFFFFFu;

struct InstallState {
  // Solid stream reader and block input, interleaved as the stub lays them out.
  uint32_t historyLength;   // bytes of history in front of the block's output
  uint32_t historyKept;     // of those, the most recent ones a later block may reach
  uint32_t inputFilePos;    // file position just past the block's last loaded byte
  uint32_t outputCapacity;  // allocated size of outputBuffer
  uint32_t blockStreamPos;  // decoded-stream offset of the block's first byte
  uint32_t blockLength;     // output bytes of the current block
  uint8_t* inputEnd;        // consumable end of the loaded input
  int32_t blockBytesLeft;   // bytes of the current block still in the file
  uint8_t* outputBuffer;    // history, then the current block's output
  uint8_t* inputBuffer;     // INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK bytes
  uint8_t* inputCursor;     // byte holding the next unread bit
  uint32_t streamKey;       // file position of the stream's first block
  uint32_t inputBitOffset;  // next unread bit within *inputCursor, 0..7
  uint8_t lastBlockSeen;
  uint8_t headerPending;
  uint8_t streamStarted;

  uint32_t runningCrc;  // CRC-32 of the bytes written for the current file
  uint32_t filterMode;  // 0, 2 or 4

  FileHandle archiveFile;   // the self-extractor (or archive) being read
  uint32_t archiveFilePos;  // where archiveFile stands, as far as we know
  uint32_t archiveOffset;   // archive's first byte within archiveFile

  ArchiveHeader header;
  uint32_t crcTable[8 * 256];  // the stub's CRC-32 slices (codec/crc32.cpp); unused on the host

  // Directory reader.
  uint32_t directoryPos;  // file position of the next directory block
  uint8_t* directoryCursor;
  uint8_t* directoryEnd;

  char installPath[INSTALL_PATH_SIZE];
  char stubName[PATH_CAPACITY];
  char messageText[MESSAGE_TEXT_SIZE];
  void* instance;

  int8_t osMajorVersion;
  volatile uint8_t cancelRequested;  // set by the front end (dialog, signal)
  uint8_t overwriteAll;
};

extern InstallState state;
