#pragma once
// vidoria-cli: the headless front end over the same build job as the desktop program.
//
//   vidoria-cli build [OPTIONS] FILE... [-o WORKDIR]     one title per file
//   vidoria-cli build PROJECT.vidproj                      a saved project
//   vidoria-cli save  [OPTIONS] FILE... -o PROJECT.vidproj
//   vidoria-cli probe FILE...
//
// Exit codes: 0 success, 1 build failed, 2 bad usage or input, 130 cancelled.

#include <atomic>
#include <iosfwd>

namespace vidoria::cli {

enum TExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCancelled = 130 };

// Runs one command line. `interrupted` is raised by the caller's SIGINT handler; a
// running build sees it and cancels. `out` gets results, `err` progress and messages.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const std::atomic<bool>& interrupted);

}  // namespace vidoria::cli
