// Extraction driver: walks the directory and produces every folder and file
// under the install folder.
//
// Names come from the archive and are untrusted. Before anything is created
// or touched, a name must pass the name rule (archive/names.h); a refused
// name, or one too long for the install folder, is a failure of that record,
// so nothing is ever written outside the install folder.
#include "archive/extract.h"

#include "archive/directory.h"
#include "archive/messages.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "archive/reading.h"
#include "codec/stream_reader.h"
#include "frontend.h"
#include "install_state.h"

namespace {

// Replacing a file that is read-only, hidden or system fails on Windows
// (CREATE_ALWAYS is refused), so the attributes go first once the user has
// chosen to replace it. `bits` are the existing file's attributes.
void clearBlockingAttributes(const char* path, uint32_t bits) {
  if (bits & ENTRY_APPLIED_ATTRIBUTES) {
    uint32_t saved = lastSystemError;
    uint32_t kept = bits & ~(uint32_t)ENTRY_APPLIED_ATTRIBUTES & ~(uint32_t)ATTR_NORMAL;
    fileSetAttributes(path, kept ? kept : ATTR_NORMAL);
    lastSystemError = saved;
  }
}

// Outcome of one record.
enum RecordResult { RECORD_NEXT, RECORD_STOP };

// Reports a failure of the record in hand; OK (when offered) goes on.
RecordResult reportRecordFailure(WindowHandle dialog, ResultCode code, int offerCancel) {
  return reportResult(dialog, code, state.installPath, offerCancel) ? RECORD_STOP : RECORD_NEXT;
}

RecordResult extractFile(WindowHandle dialog, const DirectoryEntry& entry, const char* name) {
  uint32_t bits = INVALID_ATTRIBUTES;
  FileHandle output = fileCreateFresh(state.installPath);
  if (output == INVALID_FILE) {
    // One attribute query tells whether a file is there (to ask before
    // replacing it) and what blocks its replacement; it costs far less than
    // an open, and must not leave its error number behind.
    uint32_t saved = lastSystemError;
    bits = fileProbe(state.installPath);
    lastSystemError = saved;
    if (bits != INVALID_ATTRIBUTES && !(bits & ATTR_DIRECTORY)) {
      if (!state.overwriteAll) {
        int answer = askOverwrite(state.installPath);
        if (answer == OVERWRITE_NO) return RECORD_NEXT;
        if (answer == OVERWRITE_ALL) state.overwriteAll = 1;
      }
      clearBlockingAttributes(state.installPath, bits);
    }
  }

  formatText(state.messageText, MESSAGE_TEXT_SIZE, "Extracting %s", name, nullptr);
  showProgress(dialog, state.messageText);

  if (output == INVALID_FILE) output = fileCreateStaged(state.installPath);
  if (output == INVALID_FILE) return reportRecordFailure(dialog, RC_CREATE_FAILED, 1);
  pumpMessages();

  ResultCode code = readStreamFile(output, entry.streamOffset, entry.streamPosition, entry.length,
                                   entry.flags);
  if (code < 0) {
    // Report before discarding, so the message carries the failing call's error.
    int stop = reportResult(dialog, code, state.installPath, code == RC_DAMAGED);
    fileDiscard(output, state.installPath);
    return stop ? RECORD_STOP : RECORD_NEXT;
  }
  fileSetTimes(output, entry.createDate, entry.createTime, entry.writeDate, entry.writeTime);
  if (state.runningCrc != entry.crc) {
    fileDiscard(output, state.installPath);
    return reportRecordFailure(dialog, DAMAGED_CRC(state.runningCrc, entry.crc), 1);
  }
  if (!fileCommit(output, state.installPath, entry.attributes & ENTRY_APPLIED_ATTRIBUTES, bits != INVALID_ATTRIBUTES))
    return reportRecordFailure(dialog, RC_CREATE_FAILED, 1);
  return RECORD_NEXT;
}

// Creates the install folder (all of its path) unless it is a drive's root
// or the current folder. False once the failure has been shown.
bool prepareInstallFolder(WindowHandle dialog, const char* folderEnd) {
  // installPath holds 261 bytes: a longer folder leaves no room for the
  // separator and the names, and createFolderPath takes at most 259.
  if (folderEnd - state.installPath > (long)PATH_MAX_CHARS) {
    lastSystemError = ERR_FILENAME_EXCED_RANGE;
    reportResult(dialog, RC_FOLDER_FAILED, state.installPath, 0);
    return false;
  }
  if (folderEnd != state.installPath && folderEnd[-1] != ':' && !createFolderPath(state.installPath)) {
    reportResult(dialog, RC_FOLDER_FAILED, state.installPath, 0);
    return false;
  }
  return true;
}

// One directory record, its name copied behind the folder at `nameStart`
// (at most `room` bytes fit there).
RecordResult extractRecord(WindowHandle dialog, const DirectoryEntry& entry, const uint8_t* name, char* nameStart,
                           uint32_t room) {
  // A name that does not fit behind the folder is shown cut to what fits,
  // with the error Windows gives for such a path.
  uint32_t shown = entry.nameLength < room ? entry.nameLength : room;
  for (uint32_t i = 0; i < shown; ++i) nameStart[i] = (char)name[i];
  nameStart[shown] = 0;

  NameVerdict verdict = checkEntryName(name, entry.nameLength);
  if (shown != entry.nameLength) {
    lastSystemError = ERR_FILENAME_EXCED_RANGE;
    return reportRecordFailure(dialog, RC_CREATE_FAILED, 1);
  }
  if (verdict != NAME_OK) return reportRecordFailure(dialog, RC_UNSAFE_NAME, 1);
  if (!(entry.flags & ENTRY_FOLDER)) return extractFile(dialog, entry, nameStart);
  if (!createFolderPath(state.installPath)) {
    reportResult(dialog, RC_FOLDER_FAILED, state.installPath, 0);
    return RECORD_STOP;
  }
  fileSetAttributes(state.installPath, entry.attributes & ENTRY_APPLIED_ATTRIBUTES);
  return RECORD_NEXT;
}

// Files the platform put in place later than their record (the host
// batches its syncs) and failed to: each is a failure of its record,
// reported by its path until the user stops (or `result` says the run has
// stopped already). RECORD_STOP when stopped.
RecordResult reportLateFailures(WindowHandle dialog, RecordResult result = RECORD_NEXT) {
  char failed[PATH_CAPACITY];
  while (fileTakeFailedCommit(failed)) {
    if (result == RECORD_STOP) continue;
    for (uint32_t i = 0; i < PATH_CAPACITY; ++i) state.installPath[i] = failed[i];
    result = reportRecordFailure(dialog, RC_CREATE_FAILED, 1);
  }
  return result;
}

}  // namespace

ResultCode extractArchive(WindowHandle dialog) {
  char* folderEnd = stripTrailingSeparators(state.installPath);

  uint32_t fileEnd = fileSeek(state.archiveFile, 0, FROM_END);
  if (fileEnd == SEEK_FAILED) return RC_SEEK_FAILED;
  if (fileEnd - state.archiveOffset < ARCHIVE_HEADER_SIZE) return DAMAGED("no room for an archive header");
  if (!prepareInstallFolder(dialog, folderEnd)) return RC_CANCELLED;

  uint8_t directoryBuffer[DIRECTORY_BUFFER_SIZE];
  ResultCode result = startReading(directoryBuffer);
  if (result < 0) return result;

  char* nameStart = appendSeparator(state.installPath);
  // At most 260 bytes precede the name (the folder checked above and a
  // separator), which leaves no room at all, but never less.
  uint32_t used = (uint32_t)(nameStart - state.installPath);
  uint32_t room = used < PATH_MAX_CHARS ? PATH_MAX_CHARS - used : 0;

  bool stopped = false;  // after a failure already shown: installPath keeps its name
  uint32_t index = 0;
  for (; index < state.header.entryCount && !state.cancelRequested; ++index) {
    DirectoryEntry entry;
    const uint8_t* name;
    result = nextDirectoryRecord(directoryBuffer, &entry, &name);
    if (result != RC_OK) break;
    stopped = extractRecord(dialog, entry, name, nameStart, room) == RECORD_STOP;
    if (!stopped) stopped = reportLateFailures(dialog) == RECORD_STOP;
    if (stopped) break;
    pumpMessages();
  }
  fileCommitAll();
  stopped = reportLateFailures(dialog, stopped ? RECORD_STOP : RECORD_NEXT) == RECORD_STOP;
  if (stopped) {
    result = RC_CANCELLED;
  } else {
    if (result == RC_OK && index < state.header.entryCount) result = RC_CANCELLED;
    *nameStart = 0;
  }
  finishReading();
  return result;
}
