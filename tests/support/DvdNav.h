#pragma once
// libdvdnav playing a DVD folder from first play, as a set-top player would, for tests
// that link it.

extern "C" {
#include <dvdnav/dvdnav.h>
}

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vidoria::test {

enum class TMenuAction {
  SkipStills,      // every still is skipped, menus included: no button is ever pressed
  PressHighlighted  // at a menu still, the highlighted button is pressed
};

// Plays from first play and records what a viewer would see: "menu N" when a manager
// menu still shows with button N highlighted (PressHighlighted only), the title number
// at the start of each title, "stop", or "error: ..." from libdvdnav. Waits are always
// skipped. Stops after `maxEvents` records or a bounded number of blocks.
inline std::vector<std::string> PlayDvd(const std::filesystem::path& root, size_t maxEvents,
                                        TMenuAction action = TMenuAction::SkipStills) {
  std::vector<std::string> seen;
  dvdnav_t* nav = nullptr;
  if (dvdnav_open(&nav, root.c_str()) != DVDNAV_STATUS_OK) return {"open failed"};
  dvdnav_set_PGC_positioning_flag(nav, 1);
  std::vector<uint8_t> block(DVD_VIDEO_LB_LEN);
  for (int i = 0; i < 200000 && seen.size() < maxEvents; ++i) {
    int event = 0, len = 0;
    if (dvdnav_get_next_block(nav, block.data(), &event, &len) != DVDNAV_STATUS_OK) {
      seen.push_back(std::string("error: ") + dvdnav_err_to_string(nav));
      break;
    }
    if (event == DVDNAV_STOP) {
      seen.push_back("stop");
      break;
    }
    if (event == DVDNAV_WAIT) dvdnav_wait_skip(nav);
    if (event == DVDNAV_STILL_FRAME) {
      if (action == TMenuAction::PressHighlighted && dvdnav_is_domain_vmgm(nav)) {
        int32_t button = 0;
        dvdnav_get_current_highlight(nav, &button);
        seen.push_back("menu " + std::to_string(button));
        if (dvdnav_button_activate(nav, dvdnav_get_current_nav_pci(nav)) != DVDNAV_STATUS_OK) {
          seen.push_back(std::string("activate: ") + dvdnav_err_to_string(nav));
          break;
        }
      } else {
        dvdnav_still_skip(nav);
      }
    }
    if (event == DVDNAV_CELL_CHANGE && dvdnav_is_domain_vts(nav)) {
      const auto* cell = reinterpret_cast<const dvdnav_cell_change_event_t*>(block.data());
      int32_t title = 0, part = 0;
      if (cell->cellN == 1 && dvdnav_current_title_info(nav, &title, &part) == DVDNAV_STATUS_OK)
        seen.push_back(std::to_string(title));
    }
  }
  dvdnav_close(nav);
  return seen;
}

}  // namespace vidoria::test
