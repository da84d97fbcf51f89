// Template items to widgets: predefined classes by atom or name, custom
// classes from the registry, a marked placeholder for anything else.
#include "dialog_page.h"

#include <QCheckBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadioButton>

#include <cstdint>

#include "custom_controls.h"

namespace editor {
namespace {

constexpr std::uint32_t WS_VISIBLE = 0x10000000;
constexpr std::uint32_t WS_DISABLED = 0x08000000;
constexpr std::uint32_t WS_TABSTOP = 0x00010000;

constexpr std::uint32_t BS_TYPEMASK = 0x0F;
constexpr std::uint32_t BS_3STATE = 5;
constexpr std::uint32_t BS_AUTO3STATE = 6;
constexpr std::uint32_t BS_CHECKBOX = 2;
constexpr std::uint32_t BS_AUTOCHECKBOX = 3;
constexpr std::uint32_t BS_RADIOBUTTON = 4;
constexpr std::uint32_t BS_GROUPBOX = 7;
constexpr std::uint32_t BS_AUTORADIOBUTTON = 9;

constexpr std::uint32_t SS_TYPEMASK = 0x1F;
constexpr std::uint32_t SS_CENTER = 1;
constexpr std::uint32_t SS_RIGHT = 2;
constexpr std::uint32_t SS_LEFTNOWORDWRAP = 0xC;
constexpr std::uint32_t SS_NOPREFIX = 0x80;

constexpr std::uint32_t ES_CENTER = 1;
constexpr std::uint32_t ES_RIGHT = 2;
constexpr std::uint32_t ES_PASSWORD = 0x20;
constexpr std::uint32_t ES_READONLY = 0x800;

// The reference font and its base units (see DialogUnits).
constexpr int kReferencePoints = 8;
constexpr int kReferenceBaseX = 6;
constexpr int kReferenceBaseY = 13;
constexpr int kSystemBaseX = 8;
constexpr int kSystemBaseY = 16;

enum class Kind { Button, Edit, Static, Custom };

QString Text(const hostres::NameOrId& text) {
  return text.is_id ? QString() : QString::fromStdU16String(text.name);
}

// A group box frames its area with the line at half the text height, so the
// check box or text laid on its top edge reads as its title. It never takes
// the mouse: controls inside stay clickable whatever the stacking.
class GroupFrame : public QWidget {
 public:
  GroupFrame(const QString& title, QWidget* parent) : QWidget(parent), title_(title) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
  }
  QString title() const { return title_; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetrics fm = fontMetrics();
    // An etched line: a dark rectangle with a light one just inside it.
    const QRect r = rect().adjusted(0, fm.height() / 2, -2, -2);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(r);
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(r.translated(1, 1));
    if (!title_.isEmpty()) {
      const int x = fm.averageCharWidth();
      const QRect text(x, 0, fm.horizontalAdvance(title_) + 2, fm.height());
      p.fillRect(text, palette().window());
      p.setPen(palette().color(QPalette::WindowText));
      p.drawText(text, Qt::AlignCenter | Qt::TextShowMnemonic, title_);
    }
  }

 private:
  QString title_;
};

// The application's style with the platform's few pixels between a check
// box and its text, which the templates' widths assume.
class DialogStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override {
    if (metric == PM_CheckBoxLabelSpacing || metric == PM_RadioButtonLabelSpacing) return 3;
    return QProxyStyle::pixelMetric(metric, option, widget);
  }
};

QFont TemplateFont(const hostres::DialogTemplate& tmpl, const QFont& fallback) {
  if (!tmpl.has_font || tmpl.point_size == 0) return fallback;
  QFont font;
  // The template's face where installed, else close sans-serif stand-ins.
  font.setFamilies({QString::fromStdU16String(tmpl.font), "Microsoft Sans Serif",
                    "Liberation Sans", "Arial", "DejaVu Sans Condensed", "DejaVu Sans"});
  font.setStyleHint(QFont::SansSerif);
  // Points at 96 dpi, as the base units assume.
  font.setPixelSize(MulDivRound(tmpl.point_size, 96, 72));
  return font;
}

}  // namespace

int MulDivRound(int a, int b, int c) {
  const std::int64_t n = std::int64_t(a) * b;
  const std::int64_t half = c / 2;
  return int(n >= 0 ? (n + half) / c : -((-n + half) / c));
}

DialogUnits DialogUnits::ForPointSize(int points) {
  if (points <= 0) return {kSystemBaseX, kSystemBaseY};
  return {MulDivRound(kReferenceBaseX, points, kReferencePoints),
          MulDivRound(kReferenceBaseY, points, kReferencePoints)};
}

DialogUnits DialogUnits::ForTemplate(const hostres::DialogTemplate& tmpl) {
  return ForPointSize(tmpl.has_font ? tmpl.point_size : 0);
}

int DialogUnits::X(int du) const { return MulDivRound(du, base_x, 4); }
int DialogUnits::Y(int du) const { return MulDivRound(du, base_y, 8); }

QRect DialogUnits::Map(int x, int y, int cx, int cy) const {
  return QRect(X(x), Y(y), X(cx), Y(cy));
}

QString ButtonText(const std::u16string& text) { return QString::fromStdU16String(text); }

QString LabelText(const std::u16string& text) {
  QString out;
  out.reserve(int(text.size()));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'&') {
      if (i + 1 < text.size()) out += QChar(text[++i]);  // "&&" -> "&", "&x" -> "x"
      continue;
    }
    out += QChar(text[i]);
  }
  return out;
}

DialogPage::DialogPage(const hostres::DialogTemplate& tmpl, QWidget* parent)
    : QWidget(parent), units_(DialogUnits::ForTemplate(tmpl)) {
  setFont(TemplateFont(tmpl, font()));
  setAutoFillBackground(true);
  setFixedSize(units_.X(tmpl.cx), units_.Y(tmpl.cy));

  auto* style = new DialogStyle;
  QWidget* previous_stop = nullptr;
  for (const hostres::DialogItem& item : tmpl.items) {
    PageControl control;
    control.item = item;
    control.rect = units_.Map(item.x, item.y, item.cx, item.cy);
    control.widget = Make(item);
    control.widget->setGeometry(control.rect);
    control.widget->setProperty("ctrlId", int(item.id));
    control.widget->setObjectName(QStringLiteral("ctrl_%1").arg(int(item.id)));
    control.widget->setVisible(item.style & WS_VISIBLE);
    control.widget->setEnabled(!(item.style & WS_DISABLED));
    if (qobject_cast<QCheckBox*>(control.widget) || qobject_cast<QRadioButton*>(control.widget))
      control.widget->setStyle(style);
    if (control.widget->focusPolicy() != Qt::NoFocus) {
      const bool stop = item.style & WS_TABSTOP;
      control.widget->setFocusPolicy(stop ? Qt::StrongFocus : Qt::ClickFocus);
      if (stop) {
        if (previous_stop) QWidget::setTabOrder(previous_stop, control.widget);
        previous_stop = control.widget;
      }
    }
    controls_.push_back(control);
  }
  style->setParent(this);  // the last child, so it outlives the controls using it
}

QWidget* DialogPage::Control(int id) const {
  for (const PageControl& c : controls_)
    if (c.item.id == id) return c.widget;
  return nullptr;
}

QWidget* DialogPage::Make(const hostres::DialogItem& item) {
  const hostres::NameOrId& cls = item.window_class;
  Kind kind = Kind::Custom;
  if (cls.is_id) {
    if (cls.id == hostres::kClassButton) kind = Kind::Button;
    if (cls.id == hostres::kClassEdit) kind = Kind::Edit;
    if (cls.id == hostres::kClassStatic) kind = Kind::Static;
  } else {
    const QString name = QString::fromStdU16String(cls.name).toLower();
    if (name == "button") kind = Kind::Button;
    if (name == "edit") kind = Kind::Edit;
    if (name == "static") kind = Kind::Static;
  }
  const std::uint32_t style = item.style;
  const std::u16string text = item.text.is_id ? std::u16string() : item.text.name;

  switch (kind) {
    case Kind::Button: {
      const std::uint32_t type = style & BS_TYPEMASK;
      if (type == BS_GROUPBOX) return new GroupFrame(ButtonText(text), this);
      if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX || type == BS_3STATE ||
          type == BS_AUTO3STATE) {
        auto* box = new QCheckBox(ButtonText(text), this);
        box->setTristate(type == BS_3STATE || type == BS_AUTO3STATE);
        box->setAutoFillBackground(true);  // hides a group line it sits on
        return box;
      }
      if (type == BS_RADIOBUTTON || type == BS_AUTORADIOBUTTON) {
        auto* radio = new QRadioButton(ButtonText(text), this);
        radio->setAutoFillBackground(true);
        return radio;
      }
      return new QPushButton(ButtonText(text), this);
    }
    case Kind::Edit: {
      auto* edit = new QLineEdit(QString::fromStdU16String(text), this);
      if ((style & 3) == ES_CENTER) edit->setAlignment(Qt::AlignCenter);
      if ((style & 3) == ES_RIGHT) edit->setAlignment(Qt::AlignRight);
      if (style & ES_PASSWORD) edit->setEchoMode(QLineEdit::Password);
      edit->setReadOnly(style & ES_READONLY);
      return edit;
    }
    case Kind::Static: {
      const std::uint32_t type = style & SS_TYPEMASK;
      auto* label = new QLabel(
          (style & SS_NOPREFIX) ? QString::fromStdU16String(text) : LabelText(text), this);
      label->setTextFormat(Qt::PlainText);
      label->setAutoFillBackground(true);  // opens a gap in a group line it sits on
      Qt::Alignment align = Qt::AlignLeft;
      if (type == SS_CENTER) align = Qt::AlignHCenter;
      if (type == SS_RIGHT) align = Qt::AlignRight;
      label->setAlignment(align | Qt::AlignTop);
      // The platform wraps these types; a one-line label clips instead of
      // wrapping onto a line it has no room to show.
      label->setWordWrap(type <= SS_RIGHT &&
                         units_.Y(item.cy) >= 2 * QFontMetrics(font()).height());
      label->setFocusPolicy(Qt::NoFocus);
      return label;
    }
    case Kind::Custom:
      break;
  }
  if (QWidget* w = CustomControls::Instance().Create(cls.name, item, this)) return w;
  const QString name = cls.is_id ? QStringLiteral("#%1").arg(cls.id) : Text(cls);
  problems_ << QStringLiteral("control %1: window class \"%2\" is not registered")
                   .arg(int(std::int16_t(item.id)))
                   .arg(name);
  auto* placeholder = new QFrame(this);
  placeholder->setFrameStyle(QFrame::Box | QFrame::Plain);
  placeholder->setToolTip(problems_.back());
  placeholder->setFocusPolicy(Qt::NoFocus);
  return placeholder;
}

}  // namespace editor
