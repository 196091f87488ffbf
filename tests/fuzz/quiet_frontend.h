#pragma once

#include <stdint.h>

struct QuietFrontEnd {
  uint64_t questions, progressLines, messages;
};

extern QuietFrontEnd quietFrontEnd;
