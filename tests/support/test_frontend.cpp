#include "test_frontend.h"

#include "frontend.h"

TestFrontEnd testFrontEnd;

int askOverwrite(const char* path) {
  testFrontEnd.asked.push_back(path);
  if (testFrontEnd.overwriteAnswers.empty()) return OVERWRITE_YES;
  int answer = testFrontEnd.overwriteAnswers.front();
  testFrontEnd.overwriteAnswers.pop_front();
  return answer;
}

void showProgress(WindowHandle, const char* text) { testFrontEnd.progress.push_back(text); }

int showMessage(WindowHandle, const char* text, int offerCancel) {
  testFrontEnd.messages.push_back(text);
  testFrontEnd.offeredCancel.push_back(offerCancel);
  if (testFrontEnd.messageAnswers.empty()) return 1;
  int answer = testFrontEnd.messageAnswers.front();
  testFrontEnd.messageAnswers.pop_front();
  return answer;
}
