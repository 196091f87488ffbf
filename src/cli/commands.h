// The `jov` subcommands. Each takes the arguments after its own name and
// returns the process's exit status (cli/options.h: EXIT_OK, EXIT_FAILED,
// EXIT_USAGE, or 128 + the signal that stopped it).
#pragma once

int runPack(int argc, char** argv);
int runList(int argc, char** argv);
int runTest(int argc, char** argv);
int runExtract(int argc, char** argv);
