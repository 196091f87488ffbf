// The most heap the reader may hold at once, whatever an archive claims: the
// block input's buffer, the stream's output buffer (the largest window of
// history plus the largest block, with its slack) and one block's length
// buffer (63 sets of three distance alphabets).
#pragma once

#include "format.h"

const uint64_t READER_HEAP_BOUND = (INPUT_BUFFER_SIZE + INPUT_BUFFER_SLACK) +
                                   (WINDOW_MAX + BLOCK_MAX_OUTPUT + OUTPUT_BUFFER_SLACK) +
                                   MAX_SET_COUNT * SET_SIZE_3;
