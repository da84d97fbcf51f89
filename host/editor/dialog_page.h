// A dialog template from a module's resources turned into Qt widgets: every
// control at its rectangle, converted from dialog units, made by its window
// class and style. Knows nothing of parameters (rollup.h binds them).
#pragma once

#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

#include "res_format.h"

namespace editor {

// Dialog units to pixels. A dialog unit is a quarter of the dialog font's
// average character width across and an eighth of its character height
// down; the original platform gives 8 point "MS Sans Serif" at 96 dpi the
// base units 6 x 13, so a template font of p points gets 6p/8 x 13p/8 (both
// rounded), and a template without a font the system font's 8 x 16. Each of
// x, y, width and height is scaled on its own and rounded to nearest, as the
// platform does.
struct DialogUnits {
  int base_x = 6;
  int base_y = 13;

  static DialogUnits ForTemplate(const hostres::DialogTemplate& tmpl);
  static DialogUnits ForPointSize(int points);
  int X(int du) const;
  int Y(int du) const;
  QRect Map(int x, int y, int cx, int cy) const;
};

// a * b / c rounded to nearest, halves away from zero (c > 0).
int MulDivRound(int a, int b, int c);

// One control of a built page.
struct PageControl {
  hostres::DialogItem item;  // as the template has it
  QRect rect;                // in pixels, within the page
  QWidget* widget = nullptr;
};

// Windows' control text to what Qt shows. Buttons keep "&&" (Qt reads it as
// the platform does: "&&" is "&", "&x" marks a mnemonic); labels drop the
// mnemonic marks, since a plain-text label shows every "&".
QString ButtonText(const std::u16string& text);
QString LabelText(const std::u16string& text);

// The page. Controls are created in template order, which is also the tab
// order of those with WS_TABSTOP.
class DialogPage : public QWidget {
 public:
  explicit DialogPage(const hostres::DialogTemplate& tmpl, QWidget* parent = nullptr);

  const std::vector<PageControl>& controls() const { return controls_; }
  // The first control with this ID; null when none.
  QWidget* Control(int id) const;
  const DialogUnits& units() const { return units_; }
  // Controls that could not be made as asked (e.g. an unknown window class).
  const QStringList& problems() const { return problems_; }

 private:
  QWidget* Make(const hostres::DialogItem& item);

  DialogUnits units_;
  std::vector<PageControl> controls_;
  QStringList problems_;
};

}  // namespace editor
