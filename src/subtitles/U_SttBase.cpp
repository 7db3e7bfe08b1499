#include "subtitles/U_SttBase.h"

namespace vidoria {

void TTypeSettingEntry::SetFont(const TFont& font) {
  font_ = font;
  TextColor = font.Color & 0x00FFFFFF;
}

}  // namespace vidoria
