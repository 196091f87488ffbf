// The fuzz targets' front end: answers every question without a person.
// Existing files are replaced, every message is answered OK (go on), and
// what was shown is only counted.
#include "frontend.h"
#include "quiet_frontend.h"

QuietFrontEnd quietFrontEnd;

int askOverwrite(const char*) {
  ++quietFrontEnd.questions;
  return OVERWRITE_YES;
}

void showProgress(WindowHandle, const char*) { ++quietFrontEnd.progressLines; }

int showMessage(WindowHandle, const char*, int) {
  ++quietFrontEnd.messages;
  return 1;
}
