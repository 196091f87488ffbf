// `jov list`: every record of an archive, as text or one JSON document,
// with warnings about names the installer would refuse or mishandle.
#include <stdio.h>

#include <optional>
#include <string>

#include "archive/names.h"
#include "cli/commands.h"
#include "cli/read_commands.h"
#include "install_state.h"

namespace {

const char* const LIST_HELP =
    "usage: jov list [options] ARCHIVE\n"
    "\n"
    "Lists every record of ARCHIVE (a self-extractor or a raw archive): kind, size,\n"
    "attributes (R read-only, H hidden, S system, A archive), last-write time as\n"
    "stored (local time), CRC-32 and name; then a total line.\n"
    "\n"
    "  --json           one JSON document on stdout instead, for tools\n"
    "  -v, --verbose    a first line with where the archive lies and its size\n"
    "                   (-q leaves the total line out)\n";

const OptionSpec JSON_OPTION = {OPT_JSON, 0, "json", false};

uint64_t archiveBytes(const ArchiveFile& archive) { return archive.size - archive.offset; }

std::string attributeText(uint8_t bits) {
  std::string text = "----";
  if (bits & ATTR_READONLY) text[0] = 'R';
  if (bits & ATTR_HIDDEN) text[1] = 'H';
  if (bits & ATTR_SYSTEM) text[2] = 'S';
  if (bits & ATTR_ARCHIVE) text[3] = 'A';
  return text;
}

// `product "Tovrel", product-version "0.93 Beta", ...`, or the JSON object.
std::string identityText(const Identity& identity, bool json) {
  std::string text = json ? "{" : "";
  for (int f = 0; f < FIELD_COUNT; ++f) {
    std::string value = jsonString(nameText(identity[f]));
    text += (f ? ", " : "") + (json ? jsonString(IDENTITY_FIELDS[f].jsonName) + ":" : IDENTITY_FIELDS[f].name) + " " +
            value;
  }
  return json ? text + "}" : terminalText(text);
}

std::string jsonRecord(const ArchiveRecord& r) {
  const DirectoryEntry& e = r.entry;
  bool folder = e.flags & ENTRY_FOLDER;
  std::string json = "{\"name\": " + jsonString(nameText(r.name));
  json += std::string(", \"kind\": ") + (folder ? "\"folder\"" : "\"file\"");
  json += ", \"attributes\": " + std::to_string(e.attributes);
  json += std::string(", \"readOnly\": ") + (e.attributes & ATTR_READONLY ? "true" : "false");
  json += std::string(", \"hidden\": ") + (e.attributes & ATTR_HIDDEN ? "true" : "false");
  json += std::string(", \"system\": ") + (e.attributes & ATTR_SYSTEM ? "true" : "false");
  // Folders carry no size, times or CRC that the installer reads.
  if (folder) return json + ", \"size\": null, \"modified\": null, \"created\": null, \"crc32\": null, \"filter\": 0}";
  json += ", \"size\": " + std::to_string(e.length);
  json += ", \"modified\": " + (e.writeDate ? jsonString(dosTimeText(e.writeDate, e.writeTime, 'T')) : "null");
  json += ", \"created\": " + (e.createDate ? jsonString(dosTimeText(e.createDate, e.createTime, 'T')) : "null");
  json += ", \"crc32\": \"" + crcText(e.crc) + "\"";
  int filter = (e.flags & ENTRY_FILTER_2) ? 2 : (e.flags & ENTRY_FILTER_4) ? 4 : 0;
  return json + ", \"filter\": " + std::to_string(filter) + "}";
}

std::string textRecord(const ArchiveRecord& r) {
  const DirectoryEntry& e = r.entry;
  std::string name = terminalText(nameText(r.name));
  char line[128];
  if (e.flags & ENTRY_FOLDER) {
    snprintf(line, sizeof line, "folder %12s  %s  %-19s  %-8s  ", "-", attributeText(e.attributes).c_str(), "-", "-");
    return line + name + "/";
  }
  std::string time = e.writeDate ? dosTimeText(e.writeDate, e.writeTime, ' ') : "-";
  snprintf(line, sizeof line, "file   %12u  %s  %-19s  %s  ", e.length, attributeText(e.attributes).c_str(),
           time.c_str(), crcText(e.crc).c_str());
  return line + name;
}

int listArchive(const ReadOptions& options, const ArchiveFile& archive) {
  uint64_t files = 0, folders = 0, bytes = 0;
  bool first = true;
  if (!options.json && options.common.verbose) {
    printf("%s: archive at offset %u, %llu bytes, %u records%s\n", archive.path.c_str(), archive.offset,
           (unsigned long long)archiveBytes(archive), state.header.entryCount,
           archive.sealed ? ", behind a sealed stub" : "");
  }
  std::optional<Identity> identity = carriedIdentity(archive);
  if (identity && !options.json && !options.common.quiet) printf("installer: %s\n", identityText(*identity, false).c_str());
  if (std::string failure = identity ? identityFailure(*identity) : ""; !failure.empty() && !console.quiet)
    console.error(failure);  // a warning: listing is not judging
  if (options.json) {
    printf("{\"offset\": %u, \"archiveBytes\": %llu, \"entryCount\": %u, ", archive.offset,
           (unsigned long long)archiveBytes(archive), state.header.entryCount);
    if (identity) printf("\"installer\": %s, ", identityText(*identity, true).c_str());
    printf("\"entries\": [");
  }
  SameNames sameNames;
  ResultCode rc = walkDirectory([&](const ArchiveRecord& r) -> ResultCode {
    if (r.entry.flags & ENTRY_FOLDER) {
      ++folders;
    } else {
      ++files;
      bytes += r.entry.length;
    }
    NameVerdict verdict = checkEntryName((const uint8_t*)r.name.data(), (uint32_t)r.name.size());
    if (verdict != NAME_OK && !console.quiet)  // a warning: listing is not judging
      console.error(displayText(r.name) + ": unsafe name (" +
                    displayText(nameProblemText((const uint8_t*)r.name.data(), (uint32_t)r.name.size())) +
                    "); the installer refuses this record");
    sameNames.add(r.name);
    if (std::string remark = shortNameRemark(r.name); !remark.empty() && !console.quiet) console.error(remark);
    if (options.json) {
      printf("%s\n  %s", first ? "" : ",", jsonRecord(r).c_str());
    } else {
      printf("%s\n", textRecord(r).c_str());
    }
    first = false;
    return RC_OK;
  });
  std::string failure = isDamaged(rc) ? archive.path + ": " + damageText(damageReason(), {})
                        : rc < 0      ? codeText(rc, archive.path)
                                      : "";
  if (rc >= 0 && !console.quiet)
    for (const std::string& line : sameNames.report()) console.error(line);
  if (options.json) {
    printf("%s], \"files\": %llu, \"folders\": %llu, \"bytes\": %llu", first ? "" : "\n", (unsigned long long)files,
           (unsigned long long)folders, (unsigned long long)bytes);
    if (rc < 0) printf(", \"error\": %s", jsonString(failure).c_str());
    printf("}\n");
  } else if (rc >= 0 && !options.common.quiet) {
    // No total after a failure: it would count only what could be read.
    printf("%llu file%s, %llu folder%s, %llu bytes; archive %llu bytes", (unsigned long long)files,
           files == 1 ? "" : "s", (unsigned long long)folders, folders == 1 ? "" : "s", (unsigned long long)bytes,
           (unsigned long long)archiveBytes(archive));
    if (bytes) printf(" (%.1f%%)", 100.0 * (double)archiveBytes(archive) / (double)bytes);
    printf("\n");
  }
  fflush(stdout);
  if (rc < 0) {
    console.error(failure);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace

int runList(int argc, char** argv) { return runCommand("list", LIST_HELP, {JSON_OPTION}, argc, argv, listArchive); }

