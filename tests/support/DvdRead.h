#pragma once
// libdvdread over a DVD folder, keeping everything it reports (for tests that link it).

#include <gtest/gtest.h>

extern "C" {
#include <dvdread/dvd_reader.h>
#include <dvdread/ifo_read.h>
#include <dvdread/ifo_types.h>
#include <dvdread/nav_read.h>
#include <dvdread/nav_types.h>
}

#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace vidoria::test {

// Runs `fn` with stdout and stderr going to a temporary file and returns what was
// printed: libdvdread prints its CHECK_VALUE complaints there (which one depends on the
// version) besides or instead of its logger.
template <typename Fn>
std::string CaptureOutput(Fn&& fn) {
  fflush(stdout);
  fflush(stderr);
  FILE* capture = tmpfile();
  if (!capture) {
    ADD_FAILURE() << "no temporary file for capturing output";
    fn();
    return {};
  }
  const int savedOut = dup(1), savedErr = dup(2);
  dup2(fileno(capture), 1);
  dup2(fileno(capture), 2);
  fn();
  fflush(stdout);
  fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  std::string text;
  rewind(capture);
  for (int c; (c = fgetc(capture)) != EOF;) text += static_cast<char>(c);
  fclose(capture);
  return text;
}

// libdvdread's reading of a navigation sector (2048 bytes); returns its complaints.
inline std::string ParseNavPack(const uint8_t* sector, pci_t& pci, dsi_t& dsi) {
  std::vector<uint8_t> copy(sector, sector + 2048);
  return CaptureOutput([&] {
    navRead_PCI(&pci, copy.data() + 45);
    navRead_DSI(&dsi, copy.data() + 1031);
  });
}

// The same for the PCI alone.
inline std::string ParseNavPci(const uint8_t* sector, pci_t& pci) {
  std::vector<uint8_t> copy(sector, sector + 2048);
  return CaptureOutput([&] { navRead_PCI(&pci, copy.data() + 45); });
}

namespace dvdread_detail {
inline void Collect(void* priv, dvd_logger_level_t, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  static_cast<std::string*>(priv)->append(text).append("\n");
}
inline const dvd_logger_cb kLogger{&Collect};
}  // namespace dvdread_detail

// libdvdread over a folder, keeping everything it reports: through its logger, and
// whatever it prints on stdout or stderr (where some versions put their CHECK_VALUE
// complaints).
class TDvdRead {
 public:
  explicit TDvdRead(const std::filesystem::path& folder) {
    // Opening a folder reports what it cannot do with discs (no decryption, no
    // device name); only what the IFOs make it say counts.
    Captured([&] { dvd_ = DVDOpen2(&log_, &dvdread_detail::kLogger, folder.c_str()); });
    log_.clear();
  }
  ~TDvdRead() {
    for (ifo_handle_t* ifo : open_) ifoClose(ifo);
    if (dvd_) DVDClose(dvd_);
  }
  TDvdRead(const TDvdRead&) = delete;
  TDvdRead& operator=(const TDvdRead&) = delete;

  // The manager (0) or a title set; null when libdvdread cannot read it.
  ifo_handle_t* Open(int title) {
    ifo_handle_t* ifo = nullptr;
    if (dvd_) Captured([&] { ifo = ifoOpen(dvd_, title); });
    if (ifo) open_.push_back(ifo);
    return ifo;
  }

  const std::string& Reports() const { return log_; }
  dvd_reader_t* Reader() const { return dvd_; }

 private:
  template <typename Fn>
  void Captured(Fn&& fn) {
    log_ += CaptureOutput(std::forward<Fn>(fn));
  }

  dvd_reader_t* dvd_ = nullptr;
  std::vector<ifo_handle_t*> open_;
  std::string log_;
};

}  // namespace vidoria::test
