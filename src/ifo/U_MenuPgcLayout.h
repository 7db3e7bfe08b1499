#pragma once
// Program chain numbers of the video manager's menu domain. The menu buttons name these
// chains in their commands and the IFO builder lays the chains out in this order, so
// both sides take the numbers from here.
//
//   1                       entry chain: opens the page of the title to return to
//   2 .. M + 1              menu page 0 .. M − 1 (M = pages)
//   M + 2 .. M + n + 1      title 1 .. n: records the title number and plays it
//   M + n + 2               after a title: back to the menu, or on to the next title
//   M + n + 3               next title
//
// The manager's menu program chains are counted in tables of 100 entries, which bounds
// how many pages and titles a menu can have.

namespace vidoria {

struct TMenuPgcLayout {
  static constexpr int kMaxPgcs = 100;

  int Pages = 0;   // M
  int Titles = 0;  // n

  static constexpr int EntryPgc() { return 1; }
  // pageIndex is 0-based.
  static constexpr int PagePgc(int pageIndex) { return 2 + pageIndex; }
  // title is 1-based.
  constexpr int TitlePgc(int title) const { return Pages + 1 + title; }
  constexpr int ReturnPgc() const { return Pages + Titles + 2; }
  constexpr int NextTitlePgc() const { return Pages + Titles + 3; }
  constexpr int PgcCount() const { return Pages + Titles + 3; }
  constexpr bool Fits() const { return Pages >= 1 && Titles >= 1 && PgcCount() <= kMaxPgcs; }
};

}  // namespace vidoria
