#pragma once

#include "platform/CodePages.h"  // DecodeUtf8
// Text measuring and drawing on FreeType, with HarfBuzz shaping, FriBidi reordering and
// fontconfig face lookup.
//
// A font is a family name, a size in points at 96 DPI (so the em is
// round(size × 96 / 72) pixels), a style and a colour. The family resolves through
// fontconfig ("Arial", "Tahoma", "sans-serif"); a name containing '/' is taken as the
// path of a font file, which is how tests pin their results to one face. Characters the
// resolved face lacks are drawn from the fontconfig face that has them. Bold and italic
// are synthesised (emboldened outline, sheared outline) when the resolved face is not
// bold or italic itself.
//
// A line of text occupies a box of (advance width) × (ascent + descent) pixels. The
// position given to the drawing calls is the top-left corner of that box; the baseline
// lies `Ascent` pixels below it. Glyphs may reach a little outside the box (italic
// overhang, accents); drawing is clipped only by the target.
//
// Drawing goes through a coverage mask so any target can take it: a 32-bit picture
// (`Draw`), an 8-bit index picture (`DrawIndexed`, monochrome), or the caller's own
// loop over `RenderMask`.
//
// A renderer is not thread-safe; every thread makes its own (each owns its FreeType
// instance, so renderers on different threads share nothing).

#include "platform/Bitmap32.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vidoria {

// Style bits, in the order the subtitle markup and the project files use.
using TFontStyles = uint8_t;
inline constexpr TFontStyles fsBold = 1;
inline constexpr TFontStyles fsItalic = 2;
inline constexpr TFontStyles fsUnderline = 4;
inline constexpr TFontStyles fsStrikeOut = 8;

struct TFont {
  std::string Name = "Tahoma";  // family, or a font file path when it contains '/'
  int Size = 8;                 // points at 96 DPI
  TFontStyles Style = 0;
  uint32_t Color = 0x000000;    // 0x00RRGGBB

  // The em size in pixels: size × 96 / 72, rounded; at least 1.
  int PixelSize() const;
  bool Has(TFontStyles s) const { return (Style & s) != 0; }
  bool operator==(const TFont&) const = default;
};

struct TTextExtent {
  int Width = 0;    // advance width of the line, whole pixels
  int Ascent = 0;   // pixels above the baseline
  int Descent = 0;  // pixels below the baseline
  int Height() const { return Ascent + Descent; }
  bool operator==(const TTextExtent&) const = default;
};

enum class TTextDirection { Auto, LeftToRight, RightToLeft };
enum class TTextAntialias { Antialiased, Monochrome };

// One glyph of a laid-out line, in visual order.
struct TPlacedGlyph {
  uint32_t GlyphIndex = 0;
  int Face = 0;          // 0 = the font's own face, others are fallback faces
  double X = 0, Y = 0;   // pen position in pixels from the box's left edge and the baseline (y down)
  double Advance = 0;    // pixels
  uint32_t Cluster = 0;  // index of the first character (code point) the glyph stands for
};

// Coverage of a rendered line: 0 = untouched, 255 = fully covered (monochrome masks hold
// only 0 and 255). Coordinates are relative to the top-left corner of the text box.
struct TTextMask {
  int Left = 0, Top = 0, Width = 0, Height = 0;
  std::vector<uint8_t> Coverage;  // Width × Height, top row first
  uint8_t At(int x, int y) const {  // box coordinates; 0 outside the mask
    x -= Left;
    y -= Top;
    return (x < 0 || y < 0 || x >= Width || y >= Height) ? 0 : Coverage[size_t(y) * Width + x];
  }
};

class TTextRenderer {
 public:
  explicit TTextRenderer(const TFont& font, TTextDirection direction = TTextDirection::Auto);
  ~TTextRenderer();
  TTextRenderer(const TTextRenderer&) = delete;
  TTextRenderer& operator=(const TTextRenderer&) = delete;

  // False when no face could be found or opened; then every measure is empty and
  // drawing does nothing.
  bool IsValid() const;
  const TFont& Font() const;
  std::filesystem::path FaceFile(int face = 0) const;
  // Whether bold / italic are synthesised for the font's own face.
  bool SyntheticBold() const;
  bool SyntheticItalic() const;

  // Text is UTF-8; invalid sequences read as U+FFFD. Line breaks are not interpreted.
  // Monochrome text is hinted to whole pixels, so its width can differ slightly from
  // the antialiased width: measure in the mode you draw in.
  TTextExtent Measure(std::string_view text, TTextAntialias mode = TTextAntialias::Antialiased);
  std::vector<TPlacedGlyph> Layout(std::string_view text, TTextAntialias mode = TTextAntialias::Antialiased);
  // The face (as for TPlacedGlyph::Face) that draws `c`.
  int FaceFor(char32_t c);

  TTextMask RenderMask(std::string_view text, TTextAntialias mode = TTextAntialias::Antialiased);
  // Blends `color` (with its own alpha) over `target` wherever the text covers, with
  // the text box's top-left corner at (x, y).
  void Draw(TBitmap32& target, int x, int y, std::string_view text, TColor32 color,
            TTextAntialias mode = TTextAntialias::Antialiased);
  // Monochrome: sets every covered pixel of an 8-bit picture to `index`.
  void DrawIndexed(uint8_t* pixels, int width, int height, int stride, int x, int y, std::string_view text,
                   uint8_t index);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};



}  // namespace vidoria
