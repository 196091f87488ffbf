// Compiled with JOV_STUB into jovcodec_stub: the entry points of the stub's build.
#include "codecs.h"

extern "C" const Codec jovStubCodec = {"stub", decodeBlock, readCodeLengths, readStreamFile, buildCrcTable};
