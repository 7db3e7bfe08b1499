// vidoria-cli: builds DVD folders from video files without the desktop program.
#include "cli/U_Cli.h"

#include <atomic>
#include <csignal>
#include <iostream>

extern "C" {
#include <libavutil/log.h>
}

namespace {
std::atomic<bool> gInterrupted{false};
void OnInterrupt(int) { gInterrupted.store(true); }
}  // namespace

int main(int argc, char** argv) {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // The libraries' own chatter stays off the terminal; what matters reaches our log.
  av_log_set_level(AV_LOG_ERROR);
  return vidoria::cli::Run(argc, argv, std::cout, std::cerr, gInterrupted);
}
