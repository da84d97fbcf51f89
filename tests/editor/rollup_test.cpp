// The automatic rollup of the loaded Lumatrice.dlv: the page built from the
// module's own dialog template (controls, order, rectangles, kinds, tab
// order, title), and the bindings between its controls and the effect's
// fifteen parameters in both directions.
#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QStyleOptionButton>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>
#include <optional>

#include "sdk_for_qt.h"  // before any SDK header: see there

#include "ansi_text.h"
#include "custom_controls.h"
#include "host_api.h"
#include "module_resources.h"
#include "param_block.h"
#include "plugin_loader.h"
#include "rollup.h"

using editor::DialogPage;
using editor::DialogUnits;
using editor::RollupPanel;

namespace {

const Class_ID kLumatrice(0x31b82d35, 0x47d45ce7);
constexpr int kDialog = 101;
constexpr int kParams = 15;

// The render-effects dialog of these tests: a plain page holder with a time.
class TestDialog : public IRendParams {
 public:
  TestDialog() { new QVBoxLayout(&window); }
  TimeValue GetTime() override { return time; }
  void AddRollupPage(QWidget* page) override {
    page->setParent(&window);
    window.layout()->addWidget(page);
  }
  QWidget window;
  TimeValue time = 0;
};

enum class Kind { Group, Check, Edit, Center, Left };

// Every value of the block at t, switches as "0"/"1".
std::vector<std::string> Snapshot(IParamBlock2* block, TimeValue t) {
  std::vector<std::string> out;
  for (int id = 0; id < kParams; ++id) {
    const ParamDef* def = block->GetDesc()->GetParamDefByID(ParamID(id));
    if (def->type == TYPE_STRING) {
      out.push_back(block->GetStr(ParamID(id), t));
    } else {
      int v = -1;
      Interval valid = FOREVER;
      block->GetValue(ParamID(id), t, v, valid);
      out.push_back(std::to_string(v));
    }
  }
  return out;
}

void ClickBox(QAbstractButton* box) {
  QStyleOptionButton opt;
  opt.initFrom(box);
  const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, box);
  QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

// Key presses for every character, also those without a key of their own.
void Type(QWidget* w, const QString& text) {
  for (QChar c : text) {
    if (c.unicode() < 0x80) {
      QTest::keyClick(w, char(c.unicode()));
      continue;
    }
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(w, &press);
  }
}

}  // namespace

class RollupTest : public QObject {
  Q_OBJECT

 private:
  pluginloader::PluginLoader loader_;
  ClassDesc2* cd_ = nullptr;
  std::optional<hostres::DialogTemplate> template_;
  std::unique_ptr<editor::RollupHost> host_;
  std::unique_ptr<TestDialog> dialog_;
  Effect* effect_ = nullptr;
  IAutoEParamDlg* rollup_ = nullptr;
  RollupPanel* panel_ = nullptr;

  IParamBlock2* Block() { return effect_->GetParamBlockByID(0); }
  QWidget* Control(int id) { return panel_->page()->Control(id); }

  static void BindingRows() {
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<int>("param");
    QTest::addColumn<QString>("typed");  // empty for a check box
    QTest::addColumn<QByteArray>("stored");  // what the block holds after typing
    const QString text = QString::fromUtf8("Caf\u00e9 \u2013 take 2");
    const QByteArray cp1252("Caf\xe9 \x96 take 2");
    QTest::newRow("Header") << 1004 << 0 << QString() << QByteArray();
    QTest::newRow("Footer") << 1005 << 1 << QString() << QByteArray();
    QTest::newRow("header Comments:") << 1009 << 2 << QString() << QByteArray();
    QTest::newRow("header comments text") << 1011 << 3 << text << cp1252;
    QTest::newRow("Frames") << 1006 << 4 << QString() << QByteArray();
    QTest::newRow("Scene Filename") << 1007 << 5 << QString() << QByteArray();
    QTest::newRow("Date") << 1008 << 6 << QString() << QByteArray();
    QTest::newRow("Opening Slate") << 1012 << 7 << QString() << QByteArray();
    QTest::newRow("Author:") << 1016 << 8 << QString() << QByteArray();
    QTest::newRow("author text") << 1017 << 9 << QString("R. Vance") << QByteArray("R. Vance");
    QTest::newRow("slate Comments:") << 1010 << 10 << QString() << QByteArray();
    QTest::newRow("slate comments text") << 1013 << 11 << text << cp1252;
    QTest::newRow("Complete Scene Filename") << 1014 << 12 << QString() << QByteArray();
    QTest::newRow("Time & Date") << 1015 << 13 << QString() << QByteArray();
    QTest::newRow("Multithreading") << 1018 << 14 << QString() << QByteArray();
  }

 private slots:
  void initTestCase() {
    QVERIFY(loader_.LoadModule(LUMATRICE_MODULE));
    cd_ = static_cast<ClassDesc2*>(loader_.FindClass(RENDER_EFFECT_CLASS_ID, kLumatrice));
    QVERIFY(cd_);
    // The expectations' own reading of the template, independent of the page.
    const auto resources = hostres::ModuleResources(cd_->HInstance());
    QVERIFY(resources);
    template_ = resources->Dialog(kDialog);
    QVERIFY(template_);
  }

  void init() {
    hostsdk::SetAnimateMode(false);
    host_ = std::make_unique<editor::RollupHost>();
    dialog_ = std::make_unique<TestDialog>();
    effect_ = static_cast<Effect*>(cd_->Create(FALSE));
    QVERIFY(effect_);
    rollup_ = effect_->CreateParamDialog(dialog_.get());
    QVERIFY(rollup_);
    panel_ = host_->PanelOf(Block());
    QVERIFY(panel_);
    QVERIFY(panel_->page());
    QCOMPARE(panel_->problems(), QStringList());
    dialog_->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog_->window));
  }

  void cleanup() {
    if (rollup_) rollup_->DeleteThis();
    rollup_ = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (effect_) effect_->DeleteThis();
    effect_ = nullptr;
    dialog_.reset();
    host_.reset();
    hostsdk::SetAnimateMode(false);
  }

  void cleanupTestCase() { loader_.Unload(); }

  // ---- dialog units ----

  void dialogUnits_data() {
    QTest::addColumn<int>("points");
    QTest::addColumn<QRect>("du");
    QTest::addColumn<QRect>("px");
    QTest::newRow("8 pt group box") << 8 << QRect(8, 154, 195, 33) << QRect(12, 250, 293, 54);
    QTest::newRow("8 pt halves round up") << 8 << QRect(1, 4, 3, 12) << QRect(2, 7, 5, 20);
    QTest::newRow("8 pt page size") << 8 << QRect(0, 0, 211, 256) << QRect(0, 0, 317, 416);
    QTest::newRow("8 pt negative") << 8 << QRect(-3, -4, 0, 0) << QRect(-5, -7, 0, 0);
    QTest::newRow("10 pt: base 8 x 16") << 10 << QRect(4, 8, 40, 16) << QRect(8, 16, 80, 32);
    QTest::newRow("no font: system 8 x 16") << 0 << QRect(4, 8, 10, 10) << QRect(8, 16, 20, 20);
  }
  void dialogUnits() {
    QFETCH(int, points);
    QFETCH(QRect, du);
    QFETCH(QRect, px);
    QCOMPARE(DialogUnits::ForPointSize(points).Map(du.x(), du.y(), du.width(), du.height()), px);
  }

  void labelText_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("double ampersand") << "Time && Date" << "Time & Date";
    QTest::newRow("mnemonic mark") << "&Open" << "Open";
    QTest::newRow("plain") << " Every Frame... " << " Every Frame... ";
    QTest::newRow("three lines") << "a\nb\nc" << "a\nb\nc";
  }
  void labelText() {
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    QCOMPARE(editor::LabelText(stored.toStdU16String()), shown);
  }

  // ---- the page ----

  void controlsInTemplateOrder_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QRect>("px");
    const struct {
      int n;
      Kind kind;
      int id;
      const char* shown;
      QRect px;
    } rows[] = {
        {1, Kind::Group, -1, "", {12, 250, 293, 54}},
        {2, Kind::Check, 1004, "Header", {21, 250, 59, 16}},
        {3, Kind::Group, -1, "", {12, 315, 293, 54}},
        {4, Kind::Check, 1005, "Footer", {21, 315, 54, 16}},
        {5, Kind::Check, 1006, "Frames", {45, 341, 59, 16}},
        {6, Kind::Check, 1007, "Scene Filename", {113, 341, 101, 16}},
        {7, Kind::Check, 1008, "Date", {225, 341, 47, 16}},
        {8, Kind::Check, 1009, "Comments:", {21, 276, 72, 15}},
        {9, Kind::Edit, 1011, "", {93, 276, 204, 18}},
        {10, Kind::Center, -1, "Lumatrice 1.0", {56, 7, 200, 41}},
        {11, Kind::Group, -1, "", {11, 89, 294, 111}},
        {12, Kind::Check, 1012, "Opening Slate", {23, 89, 92, 16}},
        {13, Kind::Check, 1010, "Comments:", {18, 145, 72, 15}},
        {14, Kind::Edit, 1013, "", {92, 143, 204, 16}},
        {15, Kind::Check, 1014, "Complete Scene Filename", {36, 172, 147, 16}},
        {16, Kind::Check, 1015, "Time & Date", {192, 172, 83, 16}},
        {17, Kind::Check, 1016, "Author:", {18, 115, 59, 16}},
        {18, Kind::Edit, 1017, "", {92, 115, 204, 18}},
        {19, Kind::Group, -1, "", {5, 224, 306, 154}},
        {20, Kind::Left, -1, " Every Frame... ", {15, 224, 74, 13}},
        {21, Kind::Group, -1, "", {6, 63, 305, 146}},
        {22, Kind::Left, -1, " First Frame... ", {15, 63, 68, 13}},
        {23, Kind::Check, 1018, "Multithreading", {9, 388, 90, 16}},
    };
    for (const auto& r : rows)
      QTest::addRow("%d %s", r.n, r.shown)
          << r.n - 1 << int(r.kind) << r.id << QString(r.shown) << r.px;
  }
  void controlsInTemplateOrder() {
    QFETCH(int, index);
    QFETCH(int, kind);
    QFETCH(int, id);
    QFETCH(QString, shown);
    QFETCH(QRect, px);
    const auto& controls = panel_->page()->controls();
    QCOMPARE(int(controls.size()), 23);
    const editor::PageControl& c = controls[std::size_t(index)];
    QCOMPARE(int(std::int16_t(c.item.id)), id);
    QCOMPARE(c.widget->geometry(), px);
    QVERIFY(c.widget->isVisibleTo(panel_->page()));
    switch (Kind(kind)) {
      case Kind::Group:
        QVERIFY(!qobject_cast<QAbstractButton*>(c.widget));
        QVERIFY(c.widget->testAttribute(Qt::WA_TransparentForMouseEvents));
        break;
      case Kind::Check: {
        auto* box = qobject_cast<QCheckBox*>(c.widget);
        QVERIFY(box);
        QVERIFY(!box->isTristate());
        // What a reader hears (and sees): mnemonic marks resolved.
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box);
        QVERIFY(a);
        QCOMPARE(a->text(QAccessible::Name), shown);
        break;
      }
      case Kind::Edit:
        QVERIFY(qobject_cast<QLineEdit*>(c.widget));
        break;
      case Kind::Center:
      case Kind::Left: {
        auto* label = qobject_cast<QLabel*>(c.widget);
        QVERIFY(label);
        QVERIFY(label->text().startsWith(shown));
        QCOMPARE(label->alignment() & Qt::AlignHorizontal_Mask,
                 Kind(kind) == Kind::Center ? Qt::AlignHCenter : Qt::AlignLeft);
        break;
      }
    }
  }

  void pageMatchesTemplate() {
    const DialogPage* page = panel_->page();
    QCOMPARE(page->size(), QSize(317, 416));
    QCOMPARE(page->controls().size(), template_->items.size());
    for (std::size_t i = 0; i < template_->items.size(); ++i)
      QCOMPARE(page->controls()[i].item.id, template_->items[i].id);
    QCOMPARE(panel_->title(), QString("Lumatrice Parameters"));
    auto* about = qobject_cast<QLabel*>(page->controls()[9].widget);
    QCOMPARE(about->text().count('\n'), 2);
  }

  void tabOrderFollowsTemplate() {
    const QList<int> expected = {1004, 1005, 1006, 1007, 1008, 1009, 1011, 1012,
                                 1010, 1013, 1014, 1015, 1016, 1017, 1018};
    QWidget* first = Control(1004);
    QList<int> order;
    QWidget* w = first;
    do {
      if (w->focusPolicy() & Qt::TabFocus && panel_->page()->isAncestorOf(w))
        order << w->property("ctrlId").toInt();
      w = w->nextInFocusChain();
    } while (w != first && order.size() < 40);
    QCOMPARE(order, expected);
  }

  // ---- bindings ----

  void bindingsCoverEveryParameter() {
    QCOMPARE(int(panel_->bindings().size()), kParams);
    QSet<int> params;
    for (const editor::Binding& b : panel_->bindings()) params.insert(b.param);
    QCOMPARE(params.size(), kParams);
  }

  void controlChangesExactlyItsParameter_data() { BindingRows(); }
  void controlChangesExactlyItsParameter() {
    QFETCH(int, ctrl);
    QFETCH(int, param);
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    const std::vector<std::string> before = Snapshot(Block(), 0);
    if (typed.isEmpty()) {
      auto* box = qobject_cast<QCheckBox*>(Control(ctrl));
      QVERIFY(box);
      ClickBox(box);
    } else {
      auto* edit = qobject_cast<QLineEdit*>(Control(ctrl));
      QVERIFY(edit);
      edit->setFocus();
      Type(edit, typed);
      QCOMPARE(Snapshot(Block(), 0), before);  // nothing until committed
      QTest::keyClick(edit, Qt::Key_Return);
    }
    const std::vector<std::string> after = Snapshot(Block(), 0);
    for (int id = 0; id < kParams; ++id) {
      if (id != param) {
        QCOMPARE(after[id], before[id]);
        continue;
      }
      if (typed.isEmpty())
        QCOMPARE(after[id], before[id] == "1" ? std::string("0") : std::string("1"));
      else
        QCOMPARE(QByteArray::fromStdString(after[id]), stored);
    }
  }

  void valueFromCodeReachesControl_data() { BindingRows(); }
  void valueFromCodeReachesControl() {
    QFETCH(int, ctrl);
    QFETCH(int, param);
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    const int refreshes = hostsdk::InvalidateUICount(Block()->GetDesc());
    if (typed.isEmpty()) {
      auto* box = qobject_cast<QCheckBox*>(Control(ctrl));
      const bool was = box->isChecked();
      QVERIFY(Block()->SetValue(ParamID(param), 0, was ? 0 : 1));
      QCOMPARE(box->isChecked(), !was);
    } else {
      auto* edit = qobject_cast<QLineEdit*>(Control(ctrl));
      QVERIFY(Block()->SetValue(ParamID(param), 0, stored.constData()));
      QCOMPARE(edit->text(), typed);
    }
    // The road there: REFMSG_CHANGE -> NotifyRefChanged -> InvalidateUI.
    QCOMPARE(hostsdk::InvalidateUICount(Block()->GetDesc()), refreshes + 1);
  }

  void editCommitsWhenLeft() {
    auto* edit = qobject_cast<QLineEdit*>(Control(1017));
    QApplication::setActiveWindow(&dialog_->window);
    QVERIFY(QTest::qWaitForWindowActive(&dialog_->window));
    edit->setFocus();
    Type(edit, "Left by tab");
    Control(1018)->setFocus();
    QCOMPARE(QByteArray(Block()->GetStr(9, 0)), QByteArray("Left by tab"));
  }

  void toggleAtDialogTime_data() {
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("animate");
    QTest::addColumn<int>("atZero");  // value at time 0 after the click at frame 10
    QTest::newRow("animate off: one value") << 1005 << 1 << false << 0;
    QTest::newRow("animate on: key at frame 10") << 1005 << 1 << true << 1;
    QTest::newRow("animate on, switch not animatable") << 1018 << 14 << true << 0;
  }
  void toggleAtDialogTime() {
    QFETCH(int, ctrl);
    QFETCH(int, param);
    QFETCH(bool, animate);
    QFETCH(int, atZero);
    const TimeValue t10 = 10 * hostsdk::TicksPerFrame();
    hostsdk::SetAnimateMode(animate);
    dialog_->time = t10;
    rollup_->InvalidateUI();
    auto* box = qobject_cast<QCheckBox*>(Control(ctrl));
    QVERIFY(box->isChecked());
    ClickBox(box);
    int v = -1;
    Interval valid = FOREVER;
    Block()->GetValue(ParamID(param), t10, v, valid);
    QCOMPARE(v, 0);
    Block()->GetValue(ParamID(param), 0, v, valid);
    QCOMPARE(v, atZero);
    // Moving the dialog's time shows the value there.
    dialog_->time = 0;
    rollup_->InvalidateUI();
    QCOMPARE(box->isChecked(), atZero == 1);
  }

  // ---- the template drives the page ----

  void editedTemplateChangesPage() {
    hostres::DialogTemplate t = *template_;
    t.items[1].text = hostres::NameOrId::Name(u"Top && Tail");
    t.items[1].x += 10;
    t.items.erase(t.items.begin() + 22);  // Multithreading
    DialogPage page(t);
    QCOMPARE(page.controls().size(), std::size_t(22));
    QVERIFY(!page.Control(1018));
    auto* box = qobject_cast<QCheckBox*>(page.Control(1004));
    QCOMPARE(box->geometry().x(), 36);
    QCOMPARE(box->text(), QString("Top && Tail"));
    QVERIFY(page.problems().isEmpty());
  }

  void unknownClassIsMarked() {
    hostres::DialogTemplate t = *template_;
    t.items[8].window_class = hostres::NameOrId::Name(u"NoSuchEdit");
    t.items[13].window_class = hostres::NameOrId::Name(u"custedit");  // names ignore case
    DialogPage page(t);
    QCOMPARE(page.controls().size(), std::size_t(23));
    QCOMPARE(page.problems().size(), 1);
    QVERIFY(page.problems().front().contains("NoSuchEdit"));
    QVERIFY(!qobject_cast<QLineEdit*>(page.Control(1011)));
    QVERIFY(qobject_cast<QLineEdit*>(page.Control(1013)));
    QCOMPARE(page.Control(1011)->geometry(), QRect(93, 276, 204, 18));
  }

  void closedRollupLeavesTheHost() {
    QCOMPARE(int(host_->open().size()), 1);
    rollup_->DeleteThis();
    rollup_ = nullptr;
    QVERIFY(host_->open().empty());
    // A change now refreshes nothing and harms nothing.
    QVERIFY(Block()->SetValue(0, 0, 0));
  }

  // An edit box shows a stored text and commits it back: every 1252 byte,
  // the five undefined ones included, must come back as it was.
  void everyCp1252ByteSurvivesTheEditBox() {
    for (int b = 1; b < 256; ++b) {
      const std::string stored(1, char(b));
      QCOMPARE(editor::ToCp1252(editor::FromCp1252(stored.c_str())), stored);
    }
    QCOMPARE(editor::FromCp1252("\x80\xE9"), QString::fromUtf8("\u20AC\u00E9"));
  }
};

QTEST_MAIN(RollupTest)
#include "rollup_test.moc"
