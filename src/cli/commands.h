// The `jov` subcommands. Each takes the arguments after its own name and
// returns the process's exit status: 0 on success, 1 on failure, 2 on a
// usage error.
#pragma once

int runPack(int argc, char** argv);
int runList(int argc, char** argv);
int runTest(int argc, char** argv);
int runExtract(int argc, char** argv);
