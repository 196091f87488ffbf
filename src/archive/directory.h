// Directory reader: fetches and decodes the next directory block.
#pragma once

#include <stdint.h>

#include "format.h"
#include "result.h"

// Decodes the block at state.directoryPos into `directoryBuffer`
// (DIRECTORY_BUFFER_SIZE bytes); on RC_OK state.directoryCursor is its start
// and state.directoryEnd lies after the decoded bytes. Leaves the data
// stream's block-input figures as they were.
ResultCode readDirectoryBlock(uint8_t* directoryBuffer);

// Takes the next record: fetches the next block when fewer than
// DIRECTORY_ENTRY_SIZE bytes are left, parses the entry and steps over its
// name and extra bytes. On RC_OK *name points at the name inside
// `directoryBuffer`; a block that ends inside a record is RC_DAMAGED.
ResultCode nextDirectoryRecord(uint8_t* directoryBuffer, DirectoryEntry* entry, const uint8_t** name);

// Points the directory reader at the first directory block, with nothing
// decoded yet in `directoryBuffer`. The first fetch seeks to it.
void startDirectory(uint8_t* directoryBuffer);
