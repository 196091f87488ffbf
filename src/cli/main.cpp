// `jov`: builds self-extracting installers and reads their archives.
#include <stdio.h>
#include <string.h>

#include "cli/commands.h"
#include "cli/options.h"

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
  fprintf(f, "usage: jov COMMAND [options]\n       jov --version\n\ncommands:\n");
  for (const Command& c : commands) fprintf(f, "  %s\n", c.summary);
  fprintf(f,
          "\nARCHIVE may be '-' for standard input; 'jov pack -o -' writes to standard output.\n"
          "'jov COMMAND --help' describes a command; 'man jov' describes them all.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    usage(stderr);
    return EXIT_USAGE;
  }
  if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h")) {
    usage(stdout);
    return EXIT_OK;
  }
  if (!strcmp(argv[1], "--version")) {
    printVersion();
    return EXIT_OK;
  }
  for (const Command& c : commands)
    if (!strcmp(argv[1], c.name)) return c.run(argc - 2, argv + 2);
  fprintf(stderr, "jov: unknown command '%s' (try 'jov --help')\n", argv[1]);
  return EXIT_USAGE;
}
