// The entry points of the stub's build of the codec; compiled with JOV_STUB into jovcodec_stub.
#include "codecs.h"
#include "codec/code_lengths.h"
#include "codec/crc32.h"
#include "codec/lz_decoder.h"
#include "codec/stream_reader.h"

extern "C" const Codec jovStubCodec = {"stub", decodeBlock, readCodeLengths, readStreamFile, buildCrcTable};
