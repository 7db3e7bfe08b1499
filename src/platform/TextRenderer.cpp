#include "platform/TextRenderer.h"

#include "platform/CodePages.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <fontconfig/fontconfig.h>
#include <fribidi.h>
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <unordered_map>

namespace vidoria {

namespace {

// Largest em size we draw; anything above is a damaged setting, not a menu font.
constexpr int kMaxPixelSize = 1000;

// Shear of synthetic italic: tan(12°), the slant fontconfig and FreeType use.
constexpr FT_Fixed kItalicShear = 0x0366A;

struct FaceMatch {
  std::filesystem::path file;
  int index = 0;
  int weight = FC_WEIGHT_REGULAR;
  int slant = FC_SLANT_ROMAN;
};

// Asks fontconfig for `family` in the given style; with `needs`, the best face of the
// sorted fallback list that has that character.
std::optional<FaceMatch> MatchFace(const std::string& family, bool bold, bool italic, std::optional<char32_t> needs) {
  FcPattern* pat = FcPatternCreate();
  if (!pat) return std::nullopt;
  FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pat, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
  FcPatternAddInteger(pat, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);

  auto read = [](FcPattern* font) -> std::optional<FaceMatch> {
    FcChar8* file = nullptr;
    if (FcPatternGetString(font, FC_FILE, 0, &file) != FcResultMatch || !file) return std::nullopt;
    FaceMatch m;
    m.file = reinterpret_cast<const char*>(file);
    FcPatternGetInteger(font, FC_INDEX, 0, &m.index);
    FcPatternGetInteger(font, FC_WEIGHT, 0, &m.weight);
    FcPatternGetInteger(font, FC_SLANT, 0, &m.slant);
    return m;
  };

  std::optional<FaceMatch> found;
  FcResult result = FcResultNoMatch;
  if (!needs) {
    if (FcPattern* font = FcFontMatch(nullptr, pat, &result)) {
      found = read(font);
      FcPatternDestroy(font);
    }
  } else if (FcFontSet* set = FcFontSort(nullptr, pat, FcFalse, nullptr, &result)) {
    for (int i = 0; i < set->nfont && !found; ++i) {
      FcCharSet* cs = nullptr;
      if (FcPatternGetCharSet(set->fonts[i], FC_CHARSET, 0, &cs) == FcResultMatch && cs &&
          FcCharSetHasChar(cs, FcChar32(*needs)))
        found = read(set->fonts[i]);
    }
    FcFontSetDestroy(set);
  }
  FcPatternDestroy(pat);
  return found;
}

bool IsMarkOrJoiner(char32_t c) {
  switch (hb_unicode_general_category(hb_unicode_funcs_get_default(), c)) {
    case HB_UNICODE_GENERAL_CATEGORY_NON_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_SPACING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_ENCLOSING_MARK:
    case HB_UNICODE_GENERAL_CATEGORY_FORMAT:
      return true;
    default:
      return c >= 0xFE00 && c <= 0xFE0F;  // variation selectors
  }
}

}  // namespace

int TFont::PixelSize() const {
  const int64_t points = std::abs(int64_t(Size));
  return int(std::clamp<int64_t>((points * 96 + 36) / 72, 1, kMaxPixelSize));
}

struct TTextRenderer::Impl {
  struct Face {
    FT_Face ft = nullptr;
    hb_font_t* hb = nullptr;      // unhinted advances, for antialiased text
    hb_font_t* hbMono = nullptr;  // whole-pixel hinted advances, for monochrome text
    std::filesystem::path file;
    bool synthBold = false, synthItalic = false;
    FT_Pos boldStrength = 0;  // 26.6 pixels added to outline and advance
    ~Face() {
      if (hb) hb_font_destroy(hb);
      if (hbMono) hb_font_destroy(hbMono);
      if (ft) FT_Done_Face(ft);
    }
  };

  TFont font;
  TTextDirection direction;
  int ppem = 1;
  FT_Library library = nullptr;
  std::vector<std::unique_ptr<Face>> faces;  // [0] = the font's own face
  std::unordered_map<char32_t, int> faceOf;
  int ascent = 0, descent = 0;
  int underlineTop = 0, underlineThickness = 1;
  int strikeTop = 0, strikeThickness = 1;

  ~Impl() {
    faces.clear();
    if (library) FT_Done_FreeType(library);
  }

  bool Bold() const { return font.Has(fsBold); }
  bool Italic() const { return font.Has(fsItalic); }

  std::string FallbackFamily() const {
    if (font.Name.find('/') == std::string::npos && !font.Name.empty()) return font.Name;
    if (!faces.empty() && faces[0]->ft->family_name) return faces[0]->ft->family_name;
    return "sans-serif";
  }

  // Opens a face at the font's pixel size; returns its index or -1.
  int OpenFace(const std::filesystem::path& file, int index, bool synthBold, bool synthItalic) {
    FT_Face ft = nullptr;
    if (FT_New_Face(library, file.c_str(), index, &ft) != 0) return -1;
    auto face = std::make_unique<Face>();
    face->ft = ft;
    face->file = file;
    if (!FT_IS_SCALABLE(ft) || FT_Set_Pixel_Sizes(ft, 0, FT_UInt(ppem)) != 0) return -1;
    face->hb = hb_ft_font_create_referenced(ft);
    face->hbMono = hb_ft_font_create_referenced(ft);
    if (!face->hb || !face->hbMono) return -1;
    // Antialiased glyphs are placed at fractional positions from unhinted advances;
    // monochrome glyphs are hinted to the pixel grid, so their advances must be too or
    // the gaps between letters become uneven.
    hb_ft_font_set_load_flags(face->hb, FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP);
    hb_ft_font_set_load_flags(face->hbMono, FT_LOAD_TARGET_MONO | FT_LOAD_NO_BITMAP);
    face->synthBold = synthBold;
    face->synthItalic = synthItalic;
    // The strength FT_GlyphSlot_Embolden applies: 1/24 em.
    face->boldStrength = FT_MulFix(ft->units_per_EM, ft->size->metrics.y_scale) / 24;
    faces.push_back(std::move(face));
    return int(faces.size()) - 1;
  }

  bool OpenPrimary() {
    if (font.Name.find('/') != std::string::npos) {
      FT_Face probe = nullptr;
      if (FT_New_Face(library, font.Name.c_str(), 0, &probe) != 0) return false;
      const bool isBold = (probe->style_flags & FT_STYLE_FLAG_BOLD) != 0;
      const bool isItalic = (probe->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
      FT_Done_Face(probe);
      return OpenFace(font.Name, 0, Bold() && !isBold, Italic() && !isItalic) == 0;
    }
    const auto m = MatchFace(font.Name.empty() ? "sans-serif" : font.Name, Bold(), Italic(), std::nullopt);
    if (!m) return false;
    return OpenFace(m->file, m->index, Bold() && m->weight < FC_WEIGHT_DEMIBOLD,
                    Italic() && m->slant == FC_SLANT_ROMAN) == 0;
  }

  void ReadMetrics() {
    FT_Face ft = faces[0]->ft;
    const double s = double(ppem) / double(ft->units_per_EM);
    auto up = [](double v) { return int(std::ceil(v - 1e-6)); };
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(ft, FT_SFNT_OS2));
    if (os2 && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
      ascent = up(os2->usWinAscent * s);
      descent = up(os2->usWinDescent * s);
    } else {
      ascent = up(ft->ascender * s);
      descent = up(-ft->descender * s);
    }
    underlineThickness = std::max(1, int(std::lround(ft->underline_thickness * s)));
    // underline_position is the centre of the stroke, negative below the baseline.
    const double centre = -ft->underline_position * s;
    underlineTop = ascent + std::max(1, int(std::lround(centre - underlineThickness / 2.0)));
    if (os2 && os2->version != 0xFFFF && os2->yStrikeoutSize > 0) {
      strikeThickness = std::max(1, int(std::lround(os2->yStrikeoutSize * s)));
      strikeTop = ascent - int(std::lround(os2->yStrikeoutPosition * s));
    } else {
      strikeThickness = underlineThickness;
      strikeTop = ascent - int(std::lround(ppem * 0.3));
    }
  }

  bool HasGlyph(int face, char32_t c) const { return FT_Get_Char_Index(faces[size_t(face)]->ft, c) != 0; }

  int FaceFor(char32_t c) {
    if (faces.empty()) return 0;
    if (HasGlyph(0, c)) return 0;
    if (auto it = faceOf.find(c); it != faceOf.end()) return it->second;
    int chosen = 0;
    for (int f = 1; f < int(faces.size()) && chosen == 0; ++f)
      if (HasGlyph(f, c)) chosen = f;
    if (chosen == 0) {
      if (const auto m = MatchFace(FallbackFamily(), Bold(), Italic(), c)) {
        // A face already open lacks the glyph (checked above): fontconfig's charset
        // disagrees with the cmap, and the primary face's missing-glyph box is drawn.
        const bool open = std::any_of(faces.begin(), faces.end(), [&](const auto& f) { return f->file == m->file; });
        if (!open) {
          const int opened =
              OpenFace(m->file, m->index, Bold() && m->weight < FC_WEIGHT_DEMIBOLD, Italic() && m->slant == FC_SLANT_ROMAN);
          if (opened > 0 && HasGlyph(opened, c)) chosen = opened;
        }
      }
    }
    faceOf.emplace(c, chosen);
    return chosen;
  }

  struct Run {
    size_t start, length;
    FriBidiLevel level;
    int face;
  };

  std::vector<TPlacedGlyph> Layout(const std::u32string& s, TTextAntialias mode) {
    std::vector<TPlacedGlyph> glyphs;
    const size_t n = s.size();
    if (n == 0 || faces.empty()) return glyphs;

    // Embedding levels (rules up to I2, then L1 for the trailing white space).
    const auto* chars = reinterpret_cast<const FriBidiChar*>(s.data());
    std::vector<FriBidiCharType> types(n);
    std::vector<FriBidiBracketType> brackets(n);
    std::vector<FriBidiLevel> levels(n, 0);
    fribidi_get_bidi_types(chars, FriBidiStrIndex(n), types.data());
    fribidi_get_bracket_types(chars, FriBidiStrIndex(n), types.data(), brackets.data());
    FriBidiParType base = direction == TTextDirection::LeftToRight   ? FRIBIDI_PAR_LTR
                          : direction == TTextDirection::RightToLeft ? FRIBIDI_PAR_RTL
                                                                     : FRIBIDI_PAR_ON;
    if (fribidi_get_par_embedding_levels_ex(types.data(), brackets.data(), FriBidiStrIndex(n), &base,
                                            levels.data()) == 0)
      std::fill(levels.begin(), levels.end(), FriBidiLevel(0));
    const FriBidiLevel baseLevel = FRIBIDI_DIR_TO_LEVEL(base);
    for (size_t i = n; i-- > 0 && FRIBIDI_IS_EXPLICIT_OR_BN_OR_WS(types[i]);) levels[i] = baseLevel;

    // Faces: marks, joiners and spaces stay with the character before them when that
    // face can draw them, so a fallback word is shaped as one piece.
    std::vector<int> faceIdx(n, 0);
    for (size_t i = 0; i < n; ++i) {
      const char32_t c = s[i];
      const bool follows = i > 0 && (IsMarkOrJoiner(c) || c == U' ');
      if (follows && (IsMarkOrJoiner(c) || HasGlyph(faceIdx[i - 1], c))) faceIdx[i] = faceIdx[i - 1];
      else faceIdx[i] = FaceFor(c);
    }

    std::vector<Run> runs;
    for (size_t i = 0; i < n; ++i) {
      if (!runs.empty() && runs.back().level == levels[i] && runs.back().face == faceIdx[i]) ++runs.back().length;
      else runs.push_back(Run{i, 1, levels[i], faceIdx[i]});
    }

    // Visual order (rule L2): from the highest level down to the lowest odd level,
    // reverse every sequence of runs at that level or above.
    FriBidiLevel maxLevel = 0, minOdd = 255;
    for (const Run& r : runs) {
      maxLevel = std::max(maxLevel, r.level);
      if (r.level & 1) minOdd = std::min(minOdd, r.level);
    }
    for (int lvl = maxLevel; lvl >= int(minOdd) && lvl > 0; --lvl) {
      for (size_t i = 0; i < runs.size();) {
        if (runs[i].level < lvl) {
          ++i;
          continue;
        }
        size_t j = i;
        while (j < runs.size() && runs[j].level >= lvl) ++j;
        std::reverse(runs.begin() + long(i), runs.begin() + long(j));
        i = j;
      }
    }

    int64_t pen = 0;  // 26.6
    hb_buffer_t* buf = hb_buffer_create();
    for (const Run& r : runs) {
      hb_buffer_clear_contents(buf);
      hb_buffer_add_utf32(buf, reinterpret_cast<const uint32_t*>(s.data()), int(n), unsigned(r.start), int(r.length));
      hb_buffer_set_direction(buf, (r.level & 1) ? HB_DIRECTION_RTL : HB_DIRECTION_LTR);
      hb_buffer_guess_segment_properties(buf);
      const Face& face = *faces[size_t(r.face)];
      hb_shape(mode == TTextAntialias::Monochrome ? face.hbMono : face.hb, buf, nullptr, 0);
      unsigned count = 0;
      const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &count);
      const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &count);
      for (unsigned g = 0; g < count; ++g) {
        const bool mono = mode == TTextAntialias::Monochrome;
        // Kerning and mark offsets are fractional even with hinted advances.
        auto grid = [mono](int64_t v) { return mono ? (v + 32) & ~int64_t(63) : v; };
        int64_t advance = pos[g].x_advance;
        if (face.synthBold && advance != 0) advance += face.boldStrength;
        advance = grid(advance);
        TPlacedGlyph pg;
        pg.GlyphIndex = info[g].codepoint;
        pg.Face = r.face;
        pg.X = double(pen + grid(pos[g].x_offset)) / 64.0;
        pg.Y = -double(grid(pos[g].y_offset)) / 64.0;
        pg.Advance = double(advance) / 64.0;
        pg.Cluster = info[g].cluster;
        glyphs.push_back(pg);
        pen += advance;
      }
    }
    hb_buffer_destroy(buf);
    return glyphs;
  }

  static int WidthOf(const std::vector<TPlacedGlyph>& glyphs) {
    double w = 0;
    for (const auto& g : glyphs) w += g.Advance;
    return int(std::lround(w));
  }

  TTextMask RenderMask(const std::u32string& s, TTextAntialias mode) {
    TTextMask mask;
    if (faces.empty()) return mask;
    const auto glyphs = Layout(s, mode);
    const int width = WidthOf(glyphs);
    const bool mono = mode == TTextAntialias::Monochrome;
    // Room for italic overhang, emboldening and accents beyond the box.
    const int pad = ppem / 2 + 2;
    mask.Left = -pad;
    mask.Top = -pad;
    // No target is wider than the largest picture; a runaway line is cut there.
    mask.Width = std::min(width, TBitmap32::kMaxSide) + 2 * pad;
    mask.Height = ascent + descent + 2 * pad;
    mask.Coverage.assign(size_t(mask.Width) * size_t(mask.Height), 0);

    auto plot = [&](int bx, int by, uint8_t c) {  // box coordinates
      const int mx = bx - mask.Left, my = by - mask.Top;
      if (mx < 0 || my < 0 || mx >= mask.Width || my >= mask.Height) return;
      uint8_t& m = mask.Coverage[size_t(my) * size_t(mask.Width) + size_t(mx)];
      m = std::max(m, c);
    };

    const FT_Matrix shear{0x10000, kItalicShear, 0, 0x10000};
    const FT_Int32 loadFlags = FT_LOAD_NO_BITMAP | (mono ? FT_LOAD_TARGET_MONO : FT_LOAD_TARGET_LIGHT);
    for (const TPlacedGlyph& g : glyphs) {
      const Face& face = *faces[size_t(g.Face)];
      if (FT_Load_Glyph(face.ft, g.GlyphIndex, loadFlags) != 0) continue;
      FT_GlyphSlot slot = face.ft->glyph;
      int ix, iy;
      if (mono) {
        ix = int(std::lround(g.X));
        iy = int(std::lround(g.Y));
      } else {
        ix = int(std::floor(g.X));
        iy = int(std::floor(g.Y));
      }
      if (slot->format == FT_GLYPH_FORMAT_OUTLINE) {
        if (face.synthBold) FT_GlyphSlot_Embolden(slot);
        if (face.synthItalic) FT_Outline_Transform(&slot->outline, &shear);
        if (!mono) {
          // Keep the sub-pixel pen position; the outline's y axis points up.
          const FT_Pos fx = FT_Pos(std::lround((g.X - ix) * 64.0));
          const FT_Pos fy = FT_Pos(std::lround((g.Y - iy) * 64.0));
          FT_Outline_Translate(&slot->outline, fx, -fy);
        }
      }
      if (FT_Render_Glyph(slot, mono ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL) != 0) continue;
      const FT_Bitmap& bm = slot->bitmap;
      const int left = ix + slot->bitmap_left;
      const int top = ascent + iy - slot->bitmap_top;
      for (unsigned row = 0; row < bm.rows; ++row) {
        const unsigned char* line = bm.pitch >= 0 ? bm.buffer + size_t(row) * size_t(bm.pitch)
                                                  : bm.buffer + size_t(bm.rows - 1 - row) * size_t(-bm.pitch);
        for (unsigned col = 0; col < bm.width; ++col) {
          uint8_t c = 0;
          if (bm.pixel_mode == FT_PIXEL_MODE_MONO) c = ((line[col >> 3] >> (7 - (col & 7))) & 1) ? 255 : 0;
          else if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) c = line[col];
          if (c) plot(left + int(col), top + int(row), c);
        }
      }
    }

    auto stroke = [&](int top, int thickness) {
      for (int y = top; y < top + thickness; ++y)
        for (int x = 0; x < width; ++x) plot(x, y, 255);
    };
    if (font.Has(fsUnderline) && width > 0) stroke(underlineTop, underlineThickness);
    if (font.Has(fsStrikeOut) && width > 0) stroke(strikeTop, strikeThickness);
    return mask;
  }
};

TTextRenderer::TTextRenderer(const TFont& font, TTextDirection direction) : impl_(std::make_unique<Impl>()) {
  impl_->font = font;
  impl_->direction = direction;
  impl_->ppem = font.PixelSize();
  if (FT_Init_FreeType(&impl_->library) != 0) {
    impl_->library = nullptr;
    return;
  }
  if (!impl_->OpenPrimary()) {
    impl_->faces.clear();
    return;
  }
  impl_->ReadMetrics();
}

TTextRenderer::~TTextRenderer() = default;

bool TTextRenderer::IsValid() const { return !impl_->faces.empty(); }
const TFont& TTextRenderer::Font() const { return impl_->font; }

std::filesystem::path TTextRenderer::FaceFile(int face) const {
  if (face < 0 || face >= int(impl_->faces.size())) return {};
  return impl_->faces[size_t(face)]->file;
}

bool TTextRenderer::SyntheticBold() const { return IsValid() && impl_->faces[0]->synthBold; }
bool TTextRenderer::SyntheticItalic() const { return IsValid() && impl_->faces[0]->synthItalic; }

TTextExtent TTextRenderer::Measure(std::string_view text, TTextAntialias mode) {
  if (!IsValid()) return {};
  return TTextExtent{Impl::WidthOf(impl_->Layout(DecodeUtf8(text), mode)), impl_->ascent, impl_->descent};
}

std::vector<TPlacedGlyph> TTextRenderer::Layout(std::string_view text, TTextAntialias mode) {
  return impl_->Layout(DecodeUtf8(text), mode);
}

int TTextRenderer::FaceFor(char32_t c) { return impl_->FaceFor(c); }

TTextMask TTextRenderer::RenderMask(std::string_view text, TTextAntialias mode) {
  return impl_->RenderMask(DecodeUtf8(text), mode);
}

void TTextRenderer::Draw(TBitmap32& target, int x, int y, std::string_view text, TColor32 color,
                         TTextAntialias mode) {
  const TTextMask mask = RenderMask(text, mode);
  const uint32_t alpha = AlphaComponent(color);
  for (int my = 0; my < mask.Height; ++my) {
    const int ty = y + mask.Top + my;
    if (ty < 0 || ty >= target.Height()) continue;
    const uint8_t* row = &mask.Coverage[size_t(my) * size_t(mask.Width)];
    TColor32* out = target.ScanLine(ty);
    for (int mx = 0; mx < mask.Width; ++mx) {
      const int tx = x + mask.Left + mx;
      if (!row[mx] || tx < 0 || tx >= target.Width()) continue;
      out[tx] = BlendOver(SetAlpha(color, uint8_t((alpha * row[mx] + 127) / 255)), out[tx]);
    }
  }
}

void TTextRenderer::DrawIndexed(uint8_t* pixels, int width, int height, int stride, int x, int y,
                                std::string_view text, uint8_t index) {
  if (!pixels || width <= 0 || height <= 0 || stride < width) return;
  const TTextMask mask = RenderMask(text, TTextAntialias::Monochrome);
  for (int my = 0; my < mask.Height; ++my) {
    const int ty = y + mask.Top + my;
    if (ty < 0 || ty >= height) continue;
    for (int mx = 0; mx < mask.Width; ++mx) {
      const int tx = x + mask.Left + mx;
      if (tx >= 0 && tx < width && mask.Coverage[size_t(my) * size_t(mask.Width) + size_t(mx)] >= 128)
        pixels[size_t(ty) * size_t(stride) + size_t(tx)] = index;
    }
  }
}

}  // namespace vidoria

#if defined(__SANITIZE_ADDRESS__)
// fontconfig 2.14 loses a block while parsing its configuration files, once per
// process; keep it out of the leak reports of sanitizer builds that draw text.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif
