#include "ifo/U_Ifo.h"

#include "platform/FileLock.h"
#include "platform/MessageFormat.h"

#include <fstream>

namespace vidoria {

namespace {

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// Appends a table from the next free sector and reports that sector.
template <typename WriteFn>
bool Place(TByteWriter& w, uint32_t& sector, WriteFn&& write) {
  w.PadToSector();
  sector = static_cast<uint32_t>(w.Size() / kIfoSectorSize);
  return write();
}

// The mode a newly created file gets: 0666 less the process's umask (read without
// changing it), or 0644 when the kernel does not tell.
std::filesystem::perms CreationMode() {
  unsigned mask = 022;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Umask:", 0) == 0) {
      mask = static_cast<unsigned>(std::stoul(line.substr(6), nullptr, 8));
      break;
    }
  return static_cast<std::filesystem::perms>(0666 & ~mask);
}

// Replaces the file whole, then gives it the mode of the VOBs beside it: the atomic
// writer keeps its files private, but a DVD folder is made to be burned and shared.
bool WriteShared(const std::filesystem::path& file, std::string_view data, std::string* error) {
  if (!WriteFileAtomically(file, data, error)) return false;
  std::error_code ec;
  std::filesystem::permissions(file, CreationMode(), ec);
  if (ec) return Fail(error, SafeFormat("cannot set the permissions of \"%s\": %s", file.string(), ec.message()));
  return true;
}

uint32_t Sectors(const TByteWriter& w) { return static_cast<uint32_t>(w.Size() / kIfoSectorSize); }

}  // namespace

TTitleSetAttributes TitleSetAttributesOf(const TVtsIfo& vts) {
  TTitleSetAttributes a;
  a.Category = 0;  // the title set header's category field, which stays 0
  a.Menu = vts.MenuAttributes;
  a.Title = vts.TitleAttributes;
  return a;
}

bool BuildVtsIfo(const TVtsIfo& vts, std::vector<uint8_t>& out, std::string* error) {
  if (vts.TitleVobSectors == 0) return Fail(error, "Title set IFO: the title set has no title VOB");
  TByteWriter w;
  w.Zeros(kIfoSectorSize);
  uint32_t ptt = 0, pgcit = 0, menuPgcit = 0, tmapt = 0, cadt = 0, vobuMap = 0;
  if (!Place(w, ptt, [&] { return WritePartOfTitleTable(w, vts.PartsOfTitle, error); }) ||
      !Place(w, pgcit, [&] { return WriteTitlePgcTable(w, vts.TitlePgcs, error); }) ||
      (vts.MenuPgcs && !Place(w, menuPgcit, [&] { return WriteMenuPgcTable(w, *vts.MenuPgcs, error); })) ||
      (vts.TimeMaps && !Place(w, tmapt, [&] { return WriteTimeMapTable(w, *vts.TimeMaps, error); })) ||
      !Place(w, cadt, [&] { return WriteCellAddressTable(w, vts.TitleCells, error); }) ||
      !Place(w, vobuMap, [&] { return WriteVobuAddressMap(w, vts.TitleVobus, error); }))
    return false;
  w.PadToSector();
  const uint32_t ifo = Sectors(w);

  w.PatchText(0, "DVDVIDEO-VTS", 12);
  w.PatchU32(12, 2ull * ifo + vts.TitleVobSectors - 1);
  w.PatchU32(28, ifo - 1);
  w.PatchU16(32, 0x0011);
  w.PatchU32(128, kIfoSectorSize - 1);
  w.PatchU32(192, 0);  // no menu VOBs in a title set
  w.PatchU32(196, ifo);
  w.PatchU32(200, ptt);
  w.PatchU32(204, pgcit);
  w.PatchU32(208, menuPgcit);
  w.PatchU32(212, tmapt);
  w.PatchU32(224, cadt);
  w.PatchU32(228, vobuMap);
  if (!PatchStreamAttributes(w, 256, vts.MenuAttributes, TAttributeBlock::Menu, error) ||
      !PatchStreamAttributes(w, 512, vts.TitleAttributes, TAttributeBlock::Title, error))
    return false;
  if (!w.Ok()) return Fail(error, "Title set IFO: a value does not fit its field");
  out = w.Take();
  return true;
}

bool BuildVmgIfo(const TVmgIfo& vmg, std::vector<uint8_t>& out, std::string* error) {
  const size_t titleSets = vmg.TitleSetAttributes.TitleSets.size();
  for (const TTitleInfo& t : vmg.Titles.Titles)
    if (t.TitleSet < 1 || t.TitleSet > titleSets)
      return Fail(error, SafeFormat("Video manager IFO: a title refers to title set %d of %d", t.TitleSet, titleSets));
  if (vmg.ProviderId.size() > 32) return Fail(error, "Video manager IFO: provider id longer than 32 characters");

  // The first-play chain lives in the management table; the table grows by whole
  // sectors when the chain does not fit behind the header.
  TByteWriter w;
  w.Zeros(kFirstPlayPgcOffset);
  if (!WritePgc(w, vmg.FirstPlay, error)) return false;
  const size_t managementEnd = w.Size();

  uint32_t ttSrpt = 0, menuPgcit = 0, vtsAtrt = 0, cadt = 0, vobuMap = 0;
  if (!Place(w, ttSrpt, [&] { return WriteTitleSearchTable(w, vmg.Titles, error); }) ||
      (vmg.MenuPgcs && !Place(w, menuPgcit, [&] { return WriteMenuPgcTable(w, *vmg.MenuPgcs, error); })) ||
      !Place(w, vtsAtrt, [&] { return WriteTitleSetAttributeTable(w, vmg.TitleSetAttributes, error); }) ||
      (vmg.MenuCells && !Place(w, cadt, [&] { return WriteCellAddressTable(w, *vmg.MenuCells, error); })) ||
      (vmg.MenuVobus && !Place(w, vobuMap, [&] { return WriteVobuAddressMap(w, *vmg.MenuVobus, error); })))
    return false;
  w.PadToSector();
  const uint32_t ifo = Sectors(w);

  w.PatchText(0, "DVDVIDEO-VMG", 12);
  w.PatchU32(12, 2ull * ifo + vmg.MenuVobSectors - 1);
  w.PatchU32(28, ifo - 1);
  w.PatchU16(32, 0x0011);
  w.PatchU8(35, 0x40);
  w.PatchU16(38, 1);  // volumes
  w.PatchU16(40, 1);  // this volume
  w.PatchU8(42, 1);   // side
  w.PatchU16(62, titleSets);
  w.PatchText(64, vmg.ProviderId, 32);
  w.PatchU32(128, managementEnd - 1);
  w.PatchU32(132, kFirstPlayPgcOffset);
  w.PatchU32(192, vmg.MenuVobSectors ? ifo : 0);
  w.PatchU32(196, ttSrpt);
  w.PatchU32(200, menuPgcit);
  w.PatchU32(208, vtsAtrt);
  w.PatchU32(216, cadt);
  w.PatchU32(220, vobuMap);
  if (!PatchStreamAttributes(w, 256, vmg.MenuAttributes, TAttributeBlock::Menu, error)) return false;
  if (!w.Ok()) return Fail(error, "Video manager IFO: a value does not fit its field");
  out = w.Take();
  return true;
}

bool SaveIfoAndBackup(const std::filesystem::path& ifoFile, const std::vector<uint8_t>& bytes, std::string* error) {
  if (bytes.empty() || bytes.size() % kIfoSectorSize != 0)
    return Fail(error, SafeFormat("IFO of %d bytes is not a whole number of sectors", bytes.size()));
  const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::filesystem::path backup = ifoFile;
  backup.replace_extension(".BUP");
  return WriteShared(ifoFile, data, error) && WriteShared(backup, data, error);
}

std::string VmgIfoName() { return "VIDEO_TS.IFO"; }

std::string VtsIfoName(unsigned titleSet) { return SafeFormat("VTS_%.2d_0.IFO", titleSet); }

}  // namespace vidoria
