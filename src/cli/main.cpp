// `jov`: builds self-extracting installers and reads their archives.
#include <stdio.h>
#include <string.h>

#include "cli/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

const Command commands[] = {
    {"pack", runPack, "jov pack [options] SOURCE_DIR     build Setup.exe from a folder"},
    {"list", runList, "jov list [options] ARCHIVE        list the records of an archive"},
    {"test", runTest, "jov test [options] ARCHIVE        check every file without writing"},
    {"extract", runExtract, "jov extract [options] ARCHIVE     extract as the installer would"},
};

void usage(FILE* f) {
  fprintf(f, "usage: jov COMMAND [options]\n\ncommands:\n");
  for (const Command& c : commands) fprintf(f, "  %s\n", c.summary);
  fprintf(f, "\n'jov COMMAND --help' describes a command.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  for (const Command& c : commands)
    if (!strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
  fprintf(stderr, "jov: unknown command '%s'\n", argv[1]);
  usage(stderr);
  return 2;
}
