#include "ifo/U_IfoBuilder.h"

#include "mux/U_VobuCollection.h"
#include "platform/MessageFormat.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace vidoria {
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxTitleSets = 99;      // two-digit file names
constexpr size_t kMaxManagerMenuPgcs = 100;
constexpr uint8_t kGprmLastTitle = 0, kGprmSequential = 1, kGprmLoop = 2, kGprmPlaying = 3;
constexpr uint32_t kTitleSetMenuProhibitedOps = 0x00080BC1;
constexpr uint8_t kTitleTypeWithMenu = 0x3C, kTitleTypeWithoutMenu = 0x14;

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

template <typename Make>
TNavCommand Cmd(Make&& make) {
  TNavCommand c{};
  make(c);
  return c;
}

unsigned RateOf(const TVobuCollection& c) { return c.FrameRate <= 25 ? 25 : 30; }

TVideoAttributes VideoOf(const TVobuCollection& c, bool filmMode) {
  return {RateOf(c) == 25, c.Widescreen, filmMode};
}

// The title's streams: audio records of the registered streams, sub-picture records up
// to the highest present slot, so that each record stays at its stream's number.
TStreamAttributes TitleStreams(const TVobuCollection& c) {
  TStreamAttributes a;
  a.Video = VideoOf(c, c.Pulldown);
  const size_t audio = static_cast<size_t>(std::clamp<int32_t>(c.AudioStreamCount, 0, TVobuCollection::kAudioSlots));
  for (size_t i = 0; i < audio; ++i) a.Audio.push_back(c.AudioAttributes(static_cast<unsigned>(i)));
  size_t subs = 0;
  for (size_t s = 0; s < TVobuCollection::kSubpictureSlots; ++s)
    if (c.SubpicturePresent[s]) subs = s + 1;
  for (size_t s = 0; s < subs; ++s) a.Subpictures.push_back(c.SubpictureAttributes(static_cast<unsigned>(s)));
  return a;
}

// A menu VOB's streams: the block has room for one audio and one sub-picture record.
TStreamAttributes MenuStreams(const TVobuCollection& c) {
  TStreamAttributes a;
  a.Video = VideoOf(c, false);
  if (c.AudioStreamCount > 0) a.Audio.push_back(c.AudioAttributes(0));
  for (size_t s = 0; s < TVobuCollection::kSubpictureSlots; ++s)
    if (c.SubpicturePresent[s]) {
      a.Subpictures.push_back(c.SubpictureAttributes(static_cast<unsigned>(s)));
      break;
    }
  return a;
}

// Frame rate, stream control words and palette of a chain that plays `c`.
void SetStreamsOf(TPgc& pgc, const TVobuCollection& c) {
  pgc.FrameRate = RateOf(c);
  for (unsigned i = 0; i < pgc.AudioControl.size(); ++i) pgc.AudioControl[i] = c.AudioControl(i);
  for (unsigned s = 0; s < pgc.SubpictureControl.size(); ++s) pgc.SubpictureControl[s] = c.SubpictureControl(s);
  for (size_t i = 0; i < pgc.Palette.size(); ++i) {
    const auto ycrcb = RgbToYCrCb(c.PaletteEntry(i));
    pgc.Palette[i] = uint32_t{ycrcb[0]} << 16 | uint32_t{ycrcb[1]} << 8 | ycrcb[2];
  }
}

TPgcCell PgcCellOf(const TCell& cell, uint8_t category) {
  TPgcCell p;
  p.Category = category;
  p.Duration = cell.Duration;
  p.FirstSector = cell.FirstSector;
  p.LastVobuSector = cell.LastVobuSector;
  p.LastSector = cell.LastSector;
  p.VobId = cell.VobId;
  p.CellId = cell.CellId;
  return p;
}

TCellAddressTable CellAddressesOf(const TVobuCollection& c) {
  TCellAddressTable t;
  for (const TCell& cell : c.Cells) t.Cells.push_back({cell.VobId, cell.CellId, cell.FirstSector, cell.LastSector});
  return t;
}

TVobuAddressMap VobuMapOf(const TVobuCollection& c) {
  TVobuAddressMap m;
  for (const TVobuData& v : c.Vobus) m.VobuSectors.push_back(v.StartSector);
  return m;
}

// A chain of commands only (no cells), with the streams and palette of `c`.
TMenuPgc CommandPgc(const TVobuCollection& c, std::vector<TNavCommand> pre) {
  TMenuPgc p;
  SetStreamsOf(p.Pgc, c);
  p.Pgc.PreCommands = std::move(pre);
  return p;
}

size_t MenuPages(const TIfoJob& job) { return job.with_menu ? job.entries_per_page.size() : 0; }

// The limits of the tables, checked before anything is laid out.
bool CheckJob(const TIfoJob& job, std::string* error) {
  const size_t n = job.titles.size();
  if (n == 0) return Fail(error, "There is no title to author.");
  if (n > kMaxTitleSets)
    return Fail(error, SafeFormat("A DVD holds at most %d titles; this one has %d.", kMaxTitleSets, n));
  for (size_t i = 0; i < n; ++i) {
    const TVobuCollection* c = job.titles[i].get();
    if (!c || c->Cells.empty() || c->Vobus.empty())
      return Fail(error, SafeFormat("Title %d has no recorded VOBU.", i + 1));
    if (c->Cells.size() > kMaxPgcCells)
      return Fail(error, SafeFormat("Title %d has %d chapters; a title holds at most %d.", i + 1, c->Cells.size(),
                                    kMaxPgcCells));
  }
  // The command chains grow with the number of titles; a chain holds at most 128.
  const size_t firstPlay = FirstPlayCommands(job).size();
  if (firstPlay > kMaxPgcCommands)
    return Fail(error, SafeFormat("First play needs %d commands for %d titles; a program chain holds at most %d.",
                                  firstPlay, n, kMaxPgcCommands));
  if (!job.with_menu) return true;
  const size_t pages = job.entries_per_page.size();
  if (2 * n - 1 > kMaxPgcCommands || n + 1 > kMaxPgcCommands)
    return Fail(error, SafeFormat("The title menu needs %d commands for %d titles; a program chain holds at most %d.",
                                  2 * n - 1, n, kMaxPgcCommands));
  if (!job.menu || job.menu->Cells.empty() || job.menu->Vobus.empty())
    return Fail(error, "The menu has no recorded VOBU.");
  if (pages == 0) return Fail(error, "The menu has no page.");
  if (job.menu->Cells.size() < pages)
    return Fail(error, SafeFormat("The menu VOB holds %d cells for %d pages.", job.menu->Cells.size(), pages));
  int64_t entries = 0;
  for (int e : job.entries_per_page) {
    if (e < 1) return Fail(error, "A menu page has no title entry.");
    entries += e;
  }
  if (entries != static_cast<int64_t>(n))
    return Fail(error, SafeFormat("The menu pages list %d titles; the DVD has %d.", entries, n));
  if (pages + n + 3 > kMaxManagerMenuPgcs)
    return Fail(error, SafeFormat("The menu needs %d pages for %d titles; use more titles per page.", pages, n));
  return true;
}

// Sectors of the title VOBs VTS_nn_1.VOB onwards, as they lie in the folder.
bool TitleVobSectors(const fs::path& folder, size_t titleSet, uint32_t& sectors, std::string* error) {
  uint64_t bytes = 0;
  for (int part = 1; part <= 9; ++part) {
    const fs::path file = folder / SafeFormat("VTS_%.2d_%d.VOB", titleSet, part);
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
      if (part == 1) return Fail(error, SafeFormat("The VOB file \"%s\" is missing.", file.string()));
      break;
    }
    const uintmax_t size = fs::file_size(file, ec);
    if (ec) return Fail(error, SafeFormat("The size of \"%s\" is unknown: %s", file.string(), ec.message()));
    if (size % kIfoSectorSize != 0)
      return Fail(error, SafeFormat("The VOB file \"%s\" is not a whole number of sectors.", file.string()));
    bytes += size;
  }
  sectors = static_cast<uint32_t>(bytes / kIfoSectorSize);
  return true;
}

bool MenuVobSectors(const fs::path& folder, uint32_t& sectors, std::string* error) {
  const fs::path file = folder / "VIDEO_TS.VOB";
  std::error_code ec;
  const uintmax_t size = fs::is_regular_file(file, ec) ? fs::file_size(file, ec) : 0;
  if (size == 0 || ec) return Fail(error, SafeFormat("The menu VOB \"%s\" is missing.", file.string()));
  if (size % kIfoSectorSize != 0)
    return Fail(error, SafeFormat("The menu VOB \"%s\" is not a whole number of sectors.", file.string()));
  sectors = static_cast<uint32_t>(size / kIfoSectorSize);
  return true;
}

// The files must hold exactly what the multiplexer recorded: the cell and VOBU
// addresses point into them.
bool CheckSectors(const TVobuCollection& c, uint32_t fileSectors, const std::string& what, std::string* error) {
  const int64_t recorded = int64_t{c.LastSector} + 1;
  if (recorded != fileSectors)
    return Fail(error, SafeFormat("The VOB files of %s hold %d sectors; %d were written.", what, fileSectors, recorded));
  return true;
}

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}

TVmgIfo ManagerIfo(const TIfoJob& job, const std::vector<TVtsIfo>& titleSets, uint32_t menuVobSectors) {
  const size_t n = job.titles.size();
  TVmgIfo vmg;
  vmg.FirstPlay.FrameRate = RateOf(*job.titles.front());
  vmg.FirstPlay.PreCommands = FirstPlayCommands(job);
  for (size_t i = 0; i < n; ++i) {
    TTitleInfo t;
    t.PlaybackType = job.with_menu ? kTitleTypeWithMenu : kTitleTypeWithoutMenu;
    t.Angles = 1;
    t.Chapters = static_cast<uint16_t>(job.titles[i]->Cells.size());
    t.TitleSet = static_cast<uint8_t>(i + 1);
    t.TitleInSet = 1;
    vmg.Titles.Titles.push_back(t);
    vmg.TitleSetAttributes.TitleSets.push_back(TitleSetAttributesOf(titleSets[i]));
  }
  if (!job.with_menu) {
    vmg.MenuAttributes.Video = VideoOf(*job.titles.front(), false);
    return vmg;
  }

  const TVobuCollection& s = *job.menu;
  const TManagerPgcNumbers pgcs{job.entries_per_page.size(), n};
  vmg.MenuAttributes = MenuStreams(s);
  vmg.MenuVobSectors = menuVobSectors;
  vmg.MenuCells = CellAddressesOf(s);
  vmg.MenuVobus = VobuMapOf(s);

  TMenuLanguageUnit unit;
  TMenuPgc titleMenu = CommandPgc(s, TitleMenuCommands(job.entries_per_page, n));
  titleMenu.EntryId = kMenuEntryTitle;
  unit.Pgcs.push_back(std::move(titleMenu));
  for (size_t m = 1; m <= pgcs.pages; ++m) {
    TMenuPgc page;
    page.EntryId = 0;
    SetStreamsOf(page.Pgc, s);
    page.Pgc.ProgramEntryCells = {1};
    TPgcCell cell = PgcCellOf(s.Cells[m - 1], kCellStcDiscontinuity);
    cell.StillTime = kCellStillInfinite;
    page.Pgc.Cells = {cell};
    unit.Pgcs.push_back(std::move(page));
  }
  for (size_t t = 1; t <= n; ++t) {
    TMenuPgc title = CommandPgc(s, {Cmd([&](TNavCommand& c) { SetGprmImmediate(c, kGprmLastTitle, SET_MOV, t); }),
                                    Cmd([&](TNavCommand& c) { JumpTitle(c, static_cast<uint8_t>(t)); })});
    title.EntryId = 0;
    unit.Pgcs.push_back(std::move(title));
  }
  TMenuPgc back = CommandPgc(
      s, {Cmd([&](TNavCommand& c) { LinkPgcIf(c, kGprmSequential, CMP_GE, 1, pgcs.NextTitle()); }),
          Cmd([&](TNavCommand& c) { LinkPgcIf(c, 0, CMP_NONE, 0, pgcs.TitleMenu()); })});
  back.EntryId = 0;
  unit.Pgcs.push_back(std::move(back));
  std::vector<TNavCommand> next;
  for (size_t t = 1; t < n; ++t)
    next.push_back(Cmd([&](TNavCommand& c) { LinkPgcIf(c, kGprmLastTitle, CMP_EQ, t, pgcs.Title(t + 1)); }));
  next.push_back(Cmd([&](TNavCommand& c) { LinkPgcIf(c, kGprmLoop, CMP_GE, 1, pgcs.Title(1)); }));
  next.push_back(Cmd([&](TNavCommand& c) { HighlightAndLinkPgc(c, 1, pgcs.Page(1)); }));
  TMenuPgc nextTitle = CommandPgc(s, std::move(next));
  nextTitle.EntryId = 0;
  unit.Pgcs.push_back(std::move(nextTitle));
  if (unit.Pgcs.size() != pgcs.Count())
    throw std::logic_error("Assertion failure (U_IfoBuilder): manager menu chain count");
  vmg.MenuPgcs = TMenuPgcTable{};
  vmg.MenuPgcs->Units.push_back(std::move(unit));
  return vmg;
}

}  // namespace

std::vector<TNavCommand> FirstPlayCommands(const TIfoJob& job) {
  const size_t n = job.titles.size();
  std::vector<TNavCommand> cmds;
  if (job.with_menu) {
    const TManagerPgcNumbers pgcs{job.entries_per_page.size(), n};
    cmds.push_back(Cmd([](TNavCommand& c) { SetGprmMode(c, kGprmLastTitle, 0, false); }));
    cmds.push_back(Cmd([&](TNavCommand& c) { SetGprmMode(c, kGprmSequential, job.sequential_playback ? 1 : 0, false); }));
    cmds.push_back(Cmd([&](TNavCommand& c) { SetGprmMode(c, kGprmLoop, job.loop_playback ? 1 : 0, false); }));
    cmds.push_back(Cmd([&](TNavCommand& c) { JumpManagerPgc(c, job.auto_start ? pgcs.Title(1) : pgcs.TitleMenu()); }));
    return cmds;
  }
  // Title t ends with GPRM0 = t and calls first play again. Lines: the GotoIf
  // dispatchers, then "jump to title 1".."jump to title n", then (not looping) exit.
  const bool loop = job.loop_playback;
  const size_t dispatchers = loop ? n - 1 : n;
  for (size_t t = 1; t <= dispatchers; ++t) {
    const size_t line = dispatchers + 1 + t;  // the jump to title t + 1; after title n, exit
    cmds.push_back(Cmd([&](TNavCommand& c) { GotoIf(c, kGprmLastTitle, CMP_EQ, t, static_cast<uint8_t>(line)); }));
  }
  for (size_t t = 1; t <= n; ++t) cmds.push_back(Cmd([&](TNavCommand& c) { JumpTitle(c, static_cast<uint8_t>(t)); }));
  if (!loop) cmds.push_back(Cmd(&ExitPlayback));
  return cmds;
}

std::vector<TNavCommand> TitleMenuCommands(const std::vector<int>& entriesPerPage, size_t titles) {
  std::vector<TNavCommand> cmds;
  const size_t pages = entriesPerPage.size();
  size_t page = 1, button = 1;
  for (size_t t = 1; t < titles && pages > 0; ++t) {
    ++button;
    if (button > static_cast<size_t>(std::max(entriesPerPage[page - 1], 0))) {
      page = page % pages + 1;
      button = 1;
    }
    cmds.push_back(Cmd([&](TNavCommand& c) {
      GotoIf(c, kGprmLastTitle, CMP_NE, static_cast<uint16_t>(t), static_cast<uint8_t>(2 * t + 1));
    }));
    cmds.push_back(Cmd([&](TNavCommand& c) {
      HighlightAndLinkPgc(c, static_cast<uint8_t>(button), static_cast<uint16_t>(page + 1));
    }));
  }
  cmds.push_back(Cmd([](TNavCommand& c) { HighlightAndLinkPgc(c, 1, 2); }));
  return cmds;
}

bool MakeTitleSetIfo(const TIfoJob& job, size_t titleSet, uint32_t titleVobSectors, TVtsIfo& out,
                     std::string* error) {
  if (titleSet < 1 || titleSet > job.titles.size() || !job.titles[titleSet - 1])
    return Fail(error, SafeFormat("There is no title %d.", titleSet));
  const TVobuCollection& c = *job.titles[titleSet - 1];
  const TManagerPgcNumbers pgcs{MenuPages(job), job.titles.size()};
  TVtsIfo vts;
  vts.MenuAttributes.Video = VideoOf(c, false);
  vts.TitleAttributes = TitleStreams(c);
  vts.TitleVobSectors = titleVobSectors;
  vts.TitleCells = CellAddressesOf(c);
  vts.TitleVobus = VobuMapOf(c);

  // The time map's unit grows with the title so that its entries stay within the map.
  const uint8_t unit = TimeMapUnit(c.TotalDurationMs());
  if (std::optional<TTimeMap> map = c.TimeMap(unit); map && !map->Entries.empty())
    vts.TimeMaps = TTimeMapTable{{TIfoTimeMap{unit, map->Entries}}};

  TTitlePgc title;
  title.Category = TitlePgcCategory(0);
  TPgc& pgc = title.Pgc;
  SetStreamsOf(pgc, c);
  pgc.PreCommands.push_back(Cmd([](TNavCommand& x) { SetGprmImmediate(x, kGprmPlaying, SET_MOV, 1); }));
  pgc.PreCommands.push_back(Cmd([](TNavCommand& x) { SetGprmFromRegister(x, kGprmLastTitle, SET_MOV, Sprm(4)); }));
  if (c.DefaultSubpictureStream >= 0 && c.DefaultSubpictureStream < static_cast<int>(TVobuCollection::kSubpictureSlots)) {
    TStreamSelection sel;
    sel.SetSubpicture = true;
    sel.Subpicture = static_cast<uint8_t>(c.DefaultSubpictureStream);
    sel.SubpictureDisplayed = true;
    pgc.PreCommands.push_back(Cmd([&](TNavCommand& x) { SetStreams(x, sel); }));
  }
  pgc.PostCommands.push_back(Cmd([](TNavCommand& x) { SetGprmImmediate(x, kGprmPlaying, SET_MOV, 0); }));
  if (job.with_menu) {
    const uint16_t target = job.sequential_playback ? pgcs.NextTitle() : pgcs.TitleMenu();
    pgc.PostCommands.push_back(Cmd([&](TNavCommand& x) { CallManagerPgc(x, target, 1); }));
  } else {
    pgc.PostCommands.push_back(Cmd([](TNavCommand& x) { CallFirstPlay(x, 1); }));
  }
  std::vector<TPartOfTitle> chapters;
  for (size_t j = 0; j < c.Cells.size(); ++j) {
    pgc.ProgramEntryCells.push_back(static_cast<uint8_t>(j + 1));
    pgc.Cells.push_back(PgcCellOf(c.Cells[j], j == 0 ? kCellStcDiscontinuity : kCellSeamless));
    chapters.push_back({1, static_cast<uint16_t>(j + 1)});
  }
  vts.TitlePgcs.Pgcs = {title};
  vts.PartsOfTitle.Titles = {chapters};

  // The title set's own menu only sends a player to the disc's menu.
  TMenuPgc menu;
  SetStreamsOf(menu.Pgc, c);
  menu.Pgc.ProhibitedUserOps = kTitleSetMenuProhibitedOps;
  menu.Pgc.PreCommands.push_back(Cmd([](TNavCommand& x) { JumpManagerPgc(x, 1); }));
  vts.MenuPgcs = TMenuPgcTable{};
  vts.MenuPgcs->Units.push_back({});
  vts.MenuPgcs->Units[0].Pgcs.push_back(std::move(menu));
  out = std::move(vts);
  return true;
}

bool LayOutIfos(const TIfoJob& job, TIfoLayout& out, std::string* error) {
  if (!CheckJob(job, error)) return false;
  const size_t n = job.titles.size();
  std::vector<TVtsIfo> titleSets(n);
  TIfoLayout layout;
  std::vector<uint32_t> titleSetSizes;
  for (size_t i = 1; i <= n; ++i) {
    uint32_t vobSectors = 0;
    if (!TitleVobSectors(job.video_ts, i, vobSectors, error) ||
        !CheckSectors(*job.titles[i - 1], vobSectors, SafeFormat("title %d", i), error) ||
        !MakeTitleSetIfo(job, i, vobSectors, titleSets[i - 1], error))
      return false;
    std::vector<uint8_t> bytes;
    std::string why;
    if (!BuildVtsIfo(titleSets[i - 1], bytes, &why)) return Fail(error, SafeFormat("Title %d: %s", i, why));
    titleSetSizes.push_back(static_cast<uint32_t>(2 * bytes.size() / kIfoSectorSize) + vobSectors);
    layout.TitleSets.push_back(std::move(bytes));
  }
  uint32_t menuSectors = 0;
  if (job.with_menu &&
      (!MenuVobSectors(job.video_ts, menuSectors, error) || !CheckSectors(*job.menu, menuSectors, "the menu", error)))
    return false;

  // The title sets start behind the manager, whose size is known only once it is laid
  // out; the start sectors do not change that size.
  TVmgIfo vmg = ManagerIfo(job, titleSets, menuSectors);
  std::string why;
  if (!BuildVmgIfo(vmg, layout.Manager, &why)) return Fail(error, "Video manager: " + why);
  const size_t managerSize = layout.Manager.size();
  uint32_t start = static_cast<uint32_t>(2 * managerSize / kIfoSectorSize) + menuSectors;
  for (size_t i = 0; i < n; ++i) {
    vmg.Titles.Titles[i].TitleSetSector = start;
    layout.TitleSetSectors.push_back(start);
    const uint32_t lastSector = U32At(layout.TitleSets[i], 12);  // the title set's own last sector
    if (lastSector + 1 != titleSetSizes[i])
      throw std::logic_error("Assertion failure (U_IfoBuilder): title set size disagrees with its header");
    start += titleSetSizes[i];
  }
  if (!BuildVmgIfo(vmg, layout.Manager, &why)) return Fail(error, "Video manager: " + why);
  if (layout.Manager.size() != managerSize)
    throw std::logic_error("Assertion failure (U_IfoBuilder): the manager changed size with its start sectors");
  for (size_t i = 0; i + 1 < n; ++i)
    if (layout.TitleSetSectors[i + 1] != layout.TitleSetSectors[i] + U32At(layout.TitleSets[i], 12) + 1)
      throw std::logic_error("Assertion failure (U_IfoBuilder): title set start sectors do not follow each other");
  out = std::move(layout);
  return true;
}

bool TIfoBuilder::WriteIfos(const TIfoJob& job, const TLoggingObject& log) {
  TIfoLayout layout;
  std::string error;
  if (!LayOutIfos(job, layout, &error)) {
    log.Log(EVT_ERROR, error);
    return false;
  }
  for (size_t i = 0; i < layout.TitleSets.size(); ++i)
    if (!SaveIfoAndBackup(job.video_ts / VtsIfoName(static_cast<unsigned>(i + 1)), layout.TitleSets[i], &error)) {
      log.Log(EVT_ERROR, error);
      return false;
    }
  if (!SaveIfoAndBackup(job.video_ts / VmgIfoName(), layout.Manager, &error)) {
    log.Log(EVT_ERROR, error);
    return false;
  }
  log.LogFmt(EVT_INFO, "IFO files written for %d titles%s", layout.TitleSets.size(),
             std::string(job.with_menu ? " with a menu" : ""));
  return true;
}

std::unique_ptr<IIfoStage> MakeIfoStage() { return std::make_unique<TIfoBuilder>(); }

}  // namespace vidoria
