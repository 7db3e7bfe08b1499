#include "engine/U_MenuStage.h"

#include "menus/U_Menu_50.h"
#include "mux/U_VobuCollection.h"

namespace vidoria {

namespace {

TFont FontOf(const TFontDesc& d) {
  TFont f;
  f.Name = d.Name;
  f.Size = d.Size;
  f.Style = TFontStyles((d.Bold ? fsBold : 0) | (d.Italic ? fsItalic : 0) | (d.Underline ? fsUnderline : 0));
  f.Color = d.Color.ToRgb();
  return f;
}

}  // namespace

std::filesystem::path TMenuStage::ResolveBackground(const std::string& background) const {
  if (background.empty()) return {};
  std::filesystem::path p(background);
  if (p.is_relative() && !p.has_parent_path() && !backgroundFolder_.empty()) return backgroundFolder_ / p;
  return p;
}

TMenuResult TMenuStage::EncodeMenu(const TMenuJob& job, TJobControl& control, const TLoggingObject& log) {
  TMenuResult result;
  TDVD_Menu_collection menu(job.pal);
  menu.LogCallback = log.LogCallback;
  menu.SetEntriesPerPage(job.entries_per_page);
  menu.MenuTitle = job.title;
  menu.TitleFont = FontOf(job.title_font);
  menu.ItemsFont = FontOf(job.items_font);
  menu.BackgroundFile = ResolveBackground(job.background);
  menu.Cancelled = [&control] { return !control.Poll(); };
  if (menu.BuildPages(job.title_names) == 0) return result;
  result.vobus = menu.EncodeMenus(job.video_ts / "VIDEO_TS.VOB", false);
  if (!result.vobus) return result;
  for (int p = 0; p < menu.PageCount(); ++p) result.entries_per_page.push_back(menu.Page(p).EntryCount);
  result.ok = true;
  return result;
}

}  // namespace vidoria
