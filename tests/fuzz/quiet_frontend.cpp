// The fuzz targets' front end, an object of each target (the core's driver
// calls it): see QuietFrontEnd.
#include "frontend.h"
#include "fuzz_support.h"

QuietFrontEnd quietFrontEnd;

int askOverwrite(const char*) { return ++quietFrontEnd.questions, OVERWRITE_YES; }
void showProgress(WindowHandle, const char*) { ++quietFrontEnd.progressLines; }
int showMessage(WindowHandle, const char*, int) { return ++quietFrontEnd.messages, 1; }
