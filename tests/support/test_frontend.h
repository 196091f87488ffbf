// A scripted front end for tests: records what the core shows and answers
// its questions from queues the test fills.
#pragma once

#include <deque>
#include <string>
#include <vector>

struct TestFrontEnd {
  std::deque<int> overwriteAnswers;  // OVERWRITE_*; OVERWRITE_YES when empty
  std::deque<int> messageAnswers;    // 1 OK, 0 Cancel; OK when empty
  std::vector<std::string> asked;     // paths asked about
  std::vector<std::string> progress;  // progress lines
  std::vector<std::string> messages;  // message texts shown
  std::vector<int> offeredCancel;     // per message: was Cancel offered

  void reset() { *this = TestFrontEnd(); }
};

extern TestFrontEnd testFrontEnd;
