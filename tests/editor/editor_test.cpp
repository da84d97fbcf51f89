// The editor's main window with the loaded Lumatrice.dlv: preview pixels that
// follow the rollup's switches, the time slider, values set from code, scene
// files and the unsaved-changes prompt, adding and removing effects, the
// effect's message boxes, render with cancel, and `lumatrice edit` itself.
#include <QAbstractButton>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "sdk_for_qt.h"  // before any SDK header: see there

#include "editor_window.h"
#include "host_api.h"
#include "message_boxes.h"
#include "raster_host.h"
#include "render_job.h"
#include "run_plan.h"
#include "text_codec.h"
#include "time_bar.h"

using editor::EditorWindow;

namespace {

const Class_ID kLumatrice(0x31b82d35, 0x47d45ce7);

void ClickBox(QAbstractButton* box) {
  QStyleOptionButton opt;
  opt.initFrom(box);
  const QRect indicator = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &opt, box);
  QTest::mouseClick(box, Qt::LeftButton, Qt::NoModifier, indicator.center());
}

// Rows [first, last] in which two images differ; first > last when none.
std::pair<int, int> ChangedRows(const QImage& a, const QImage& b) {
  int first = a.height(), last = -1;
  for (int y = 0; y < a.height(); ++y) {
    if (std::memcmp(a.constScanLine(y), b.constScanLine(y), std::size_t(a.bytesPerLine())) != 0) {
      first = std::min(first, y);
      last = y;
    }
  }
  return {first, last};
}

// Answers the next modal message box with `button` and keeps what it said.
class BoxAnswer : public QObject {
 public:
  explicit BoxAnswer(QMessageBox::StandardButton button) : button_(button) {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->button(button_)) return;
      timer_.stop();
      caption = box->windowTitle();
      text = box->text();
      modal = box->isModal();
      ++seen;
      box->button(button_)->click();
    });
    timer_.start();
  }
  QString caption, text;
  bool modal = false;
  int seen = 0;

 private:
  QMessageBox::StandardButton button_;
  QTimer timer_;
};

}  // namespace

class EditorTest : public QObject {
  Q_OBJECT

 private:
  pluginloader::PluginLoader loader_;
  std::unique_ptr<EditorWindow> window_;
  std::unique_ptr<QTemporaryDir> dir_;

  editor::RollupPanel* Panel() { return window_->CurrentPanel(); }
  QWidget* Control(int id) { return Panel()->page()->Control(id); }
  QCheckBox* Box(int id) { return qobject_cast<QCheckBox*>(Control(id)); }
  IParamBlock2* Block(int item = 0) {
    return window_->scene().items[std::size_t(item)].effect->GetParamBlockByID(0);
  }
  int Value(int param, int frame) {
    int v = -1;
    Interval valid = FOREVER;
    Block()->GetValue(ParamID(param), frame * hostsdk::TicksPerFrame(), v, valid);
    return v;
  }
  QImage Preview() {
    window_->FlushPreview();
    return window_->previewImage();
  }
  QString File(const char* name) { return dir_->filePath(name); }

 private slots:
  void initTestCase() {
    QVERIFY(loader_.LoadModule(LUMATRICE_MODULE));
    QVERIFY(loader_.FindClass(RENDER_EFFECT_CLASS_ID, kLumatrice));
    editor::InstallMessageBoxes();
  }

  void init() {
    dir_ = std::make_unique<QTemporaryDir>();
    window_ = std::make_unique<EditorWindow>(loader_);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    QVERIFY(Panel());
  }

  void cleanup() {
    window_.reset();
    hostsdk::SetAnimateMode(false);
    textraster::ClearRasterFaults();
  }

  void cleanupTestCase() {
    textraster::SetMessageBoxHandler({});
    loader_.Unload();
  }

  void newSceneShowsTheEffectAndItsRollup() {
    QCOMPARE(window_->scene().items.size(), std::size_t(1));
    auto* list = window_->findChild<QListWidget*>("effects");
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), QString("Lumatrice"));
    QCOMPARE(Panel()->title(), QString("Lumatrice Parameters"));
    QCOMPARE(int(Panel()->bindings().size()), 15);
    QVERIFY(!window_->IsModified());
    QCOMPARE(window_->previewImage().size(), QSize(1280, 720));
  }

  // ---- preview ----

  void previewFollowsSwitches_data() {
    QTest::addColumn<int>("ctrl");
    QTest::addColumn<QString>("comments");  // typed into 1011 first
    QTest::addColumn<QString>("band");      // where pixels change: top, bottom, none
    QTest::newRow("Footer off") << 1005 << QString() << "bottom";
    QTest::newRow("Frames off") << 1006 << QString() << "bottom";
    QTest::newRow("Date on") << 1008 << QString() << "bottom";
    QTest::newRow("Header off, with comments") << 1004 << "Take 7" << "top";
    QTest::newRow("header Comments: off") << 1009 << "Take 7" << "top";
    QTest::newRow("Header off, no comments") << 1004 << QString() << "none";
    QTest::newRow("Opening Slate: not the first frame") << 1012 << QString() << "none";
    QTest::newRow("Multithreading") << 1018 << QString() << "none";
  }
  void previewFollowsSwitches() {
    QFETCH(int, ctrl);
    QFETCH(QString, comments);
    QFETCH(QString, band);
    if (!comments.isEmpty()) {
      auto* edit = qobject_cast<QLineEdit*>(Control(1011));
      QTest::keyClicks(edit, comments);
      QTest::keyClick(edit, Qt::Key_Return);
    }
    const QImage before = Preview();
    ClickBox(Box(ctrl));
    const QImage after = Preview();
    QCOMPARE(after.size(), before.size());
    const auto [first, last] = ChangedRows(before, after);
    const int h = before.height();
    if (band == "none") {
      QVERIFY(first > last);
    } else if (band == "top") {
      QVERIFY(first <= last);
      QVERIFY(last < h / 4);
    } else {
      QVERIFY(first <= last);
      QVERIFY(first > h * 3 / 4);
    }
  }

  void slateSwitchShowsTheFirstFrame() {
    const QImage captions = Preview();
    window_->SetSlatePreview(true);
    const QImage slate = Preview();
    const auto [first, last] = ChangedRows(captions, slate);
    QCOMPARE(first, 0);  // the whole frame turns dark grey
    QCOMPARE(last, slate.height() - 1);
    const QRgb corner = slate.pixel(2, 2);
    QCOMPARE(qRed(corner), qGreen(corner));
    QCOMPARE(qGreen(corner), qBlue(corner));
    QVERIFY(qRed(corner) < 0x80);
    ClickBox(Box(1012));  // Opening Slate off: the first frame gets captions
    QCOMPARE(Preview(), captions);
  }

  void fitAndActualSize() {
    auto* view = window_->findChild<editor::PreviewView*>();
    QVERIFY(view->fit());
    QVERIFY(view->widget()->width() < 1280);
    view->SetFit(false);
    QCOMPARE(view->widget()->size(), QSize(1280, 720));
  }

  // ---- time and values from code ----

  void timeSliderShowsKeyedValues() {
    hostsdk::SetAnimateMode(true);
    window_->SetFrame(30);
    ClickBox(Box(1005));  // Footer off at frame 30: a key there
    QCOMPARE(Value(1, 30), 0);
    QCOMPARE(Value(1, 1), 1);
    const QImage at30 = Preview();
    window_->SetFrame(1);
    QVERIFY(Box(1005)->isChecked());
    window_->timeBar()->SetValue(30);
    QVERIFY(!Box(1005)->isChecked());
    QCOMPARE(Preview(), at30);
  }

  void valueFromCodeReachesControlAndPreview() {
    const QImage before = Preview();
    QVERIFY(!Box(1008)->isChecked());
    QVERIFY(Block()->SetValue(6, 0, 1));  // Display Date
    QVERIFY(Box(1008)->isChecked());
    QVERIFY(Preview() != before);
    QVERIFY(window_->IsModified());
  }

  // ---- files ----

  void saveAndOpenKeepValues() {
    ClickBox(Box(1007));  // Scene Filename on
    auto* author = qobject_cast<QLineEdit*>(Control(1017));
    QTest::keyClicks(author, "M. Okafor");
    QTest::keyClick(author, Qt::Key_Return);
    QVERIFY(window_->IsModified());
    QVERIFY(window_->windowTitle().startsWith("Untitled"));
    QString error;
    QVERIFY2(window_->SaveScene(File("a.json"), error), qPrintable(error));
    QVERIFY(!window_->IsModified());
    window_->FlushPreview();
    QVERIFY(window_->windowTitle().startsWith("a.json"));

    window_->NewScene();
    QVERIFY(!Box(1007)->isChecked());
    QVERIFY2(window_->OpenScene(File("a.json"), error), qPrintable(error));
    QVERIFY(Box(1007)->isChecked());
    QCOMPARE(qobject_cast<QLineEdit*>(Control(1017))->text(), QString("M. Okafor"));
    QVERIFY(!window_->IsModified());
    QVERIFY(!window_->OpenScene(File("missing.json"), error));
    QVERIFY(error.contains("missing.json"));
  }

  void closePromptsForUnsavedChanges_data() {
    QTest::addColumn<bool>("change");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closes");
    QTest::newRow("unchanged: no prompt") << false << int(QMessageBox::NoButton) << true;
    QTest::newRow("changed, Cancel: stays") << true << int(QMessageBox::Cancel) << false;
    QTest::newRow("changed, Discard: closes") << true << int(QMessageBox::Discard) << true;
  }
  void closePromptsForUnsavedChanges() {
    QFETCH(bool, change);
    QFETCH(int, answer);
    QFETCH(bool, closes);
    if (change) ClickBox(Box(1018));
    BoxAnswer box{QMessageBox::StandardButton(answer)};
    QCOMPARE(window_->close(), closes);
    QCOMPARE(box.seen, change ? 1 : 0);
  }

  void unknownClassIsKeptAndListed() {
    QString error;
    QVERIFY(window_->SaveScene(File("b.json"), error));
    std::ifstream in(File("b.json").toStdString());
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    const auto at = s.find("0x31b82d35");
    QVERIFY(at != std::string::npos);
    s.replace(at, 10, "0x0badcafe");
    std::ofstream(File("c.json").toStdString()) << s;
    QVERIFY2(window_->OpenScene(File("c.json"), error), qPrintable(error));
    auto* list = window_->findChild<QListWidget*>("effects");
    QCOMPARE(list->count(), 1);
    QVERIFY(list->item(0)->text().contains("not loaded"));
    QVERIFY(!window_->CurrentPanel());
    QVERIFY(!window_->IsModified());
    QVERIFY(!Preview().isNull());  // nothing to apply, still a frame
  }

  // ---- effects ----

  void addAndRemoveEffects() {
    ClassDesc* cd = loader_.FindClass(RENDER_EFFECT_CLASS_ID, kLumatrice);
    QString error;
    QVERIFY(window_->AddEffect(cd, error));
    QCOMPARE(window_->scene().items.size(), std::size_t(2));
    QCOMPARE(window_->selected(), 1);
    QCOMPARE(Panel()->block(), Block(1));
    ClickBox(Box(1005));
    QCOMPARE(Value(1, 1), 1);  // the first effect's block is untouched
    window_->SelectEffect(0);
    QCOMPARE(Panel()->block(), Block(0));
    QCOMPARE(int(window_->rollups().open().size()), 1);
    window_->RemoveEffect(0);
    QCOMPARE(window_->scene().items.size(), std::size_t(1));
    QVERIFY(!Box(1005)->isChecked());  // the one left is the one changed
    window_->RemoveEffect(0);
    QVERIFY(window_->scene().items.empty());
    QVERIFY(!window_->CurrentPanel());
    QVERIFY(window_->rollups().open().empty());
  }

  // ---- message boxes and render ----

  void effectNoticeIsAModalQtBox() {
    window_->FlushPreview();
    textraster::FailRasterStep(textraster::RasterStep::kBitmap, 1);
    BoxAnswer box{QMessageBox::Ok};
    window_->SetFrame(2);
    window_->FlushPreview();
    QCOMPARE(box.seen, 1);
    QVERIFY(box.modal);
    QCOMPARE(box.caption, QString("Lumatrice"));
    QVERIFY(!box.text.isEmpty());
  }

  // The effect draws 8-bit Windows-1252 text: a UTF-8 path would show as two
  // garbled characters per accented letter.
  void scenePathReachesTheEffectInWindows1252() {
    const QString file = File("sc\u00e8ne.json");
    QString error;
    QVERIFY2(window_->SaveScene(file, error), qPrintable(error));
    window_->FlushPreview();
    const std::string path = GetCOREInterface()->GetCurFilePath().data();
    QCOMPARE(path, lumatrice::Utf8ToCp1252Lossy(lumatrice::Canonical(file.toStdString())));
    QVERIFY(path.find('\xe8') != std::string::npos);
    QCOMPARE(std::string(GetCOREInterface()->GetCurFileName().data()), std::string("sc\xe8ne.json"));
  }

  void renderWritesFrames() {
    editor::RenderRequest request;
    request.output = File("out/f.#.png").toStdString();
    request.frames = "1-3";
    lumatrice::PipelineOptions options;
    std::string error;
    QVERIFY2(editor::PrepareRender(request, options, error), error.c_str());
    const auto r = editor::RunRender(window_.get(), options, window_->scene().LiveEffects(), 96,
                                     54, 30);
    QVERIFY2(!r.failed, r.error.c_str());
    QVERIFY(!r.cancelled);
    QCOMPARE(r.written, 3);
    for (const char* f : {"out/f.0001.png", "out/f.0002.png", "out/f.0003.png"})
      QVERIFY2(QFileInfo::exists(File(f)), f);
  }

  void renderCancelAnswersTheAbortCallback() {
    editor::RenderRequest request;
    request.output = File("cut/f.#.png").toStdString();
    request.frames = "1-500";
    lumatrice::PipelineOptions options;
    std::string error;
    QVERIFY(editor::PrepareRender(request, options, error));
    QTimer press;
    press.setInterval(5);
    connect(&press, &QTimer::timeout, [&press] {
      if (auto* d = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget())) {
        press.stop();
        d->findChild<QPushButton*>()->click();
      }
    });
    press.start();
    const auto r = editor::RunRender(window_.get(), options, window_->scene().LiveEffects(),
                                     640, 360, 30);
    QVERIFY(r.cancelled);
    QVERIFY(!r.failed);
    QVERIFY(r.written < 500);
  }

  void requestsAreChecked_data() {
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("frames");
    QTest::addColumn<QString>("complaint");
    QTest::newRow("one file, many frames") << "one.png" << "1-2" << "names one file";
    QTest::newRow("no writer") << "f.#.nope" << "1" << "no image writer";
    QTest::newRow("bad frames") << "f.#.png" << "1-x" << "frames";
    QTest::newRow("frame named twice") << "f.#.png" << "1-3,2" << "names frame 2 twice";
  }
  void requestsAreChecked() {
    QFETCH(QString, output);
    QFETCH(QString, frames);
    QFETCH(QString, complaint);
    editor::RenderRequest request;
    request.output = dir_->filePath(output).toStdString();
    request.frames = frames.toStdString();
    lumatrice::PipelineOptions options;
    std::string error;
    QVERIFY(!editor::PrepareRender(request, options, error));
    QVERIFY2(QString::fromStdString(error).contains(complaint), error.c_str());
  }

  void frameSizes_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::newRow("1280x720") << "1280x720" << true;
    QTest::newRow("zero") << "0x720" << false;
    QTest::newRow("too wide") << "65536x2" << false;
    QTest::newRow("too many pixels") << "60000x60000" << false;
    QTest::newRow("trailing") << "64x64px" << false;
  }
  void frameSizes() {
    QFETCH(QString, text);
    QFETCH(bool, ok);
    int w = 0, h = 0;
    QCOMPARE(editor::ParseFrameSize(text.toStdString(), w, h), ok);
  }

  // ---- the command ----

  void editCommand_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("platform");  // QT_QPA_PLATFORM; "" unset, no display
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("stderrHas");
    QTest::newRow("screenshot offscreen") << QStringList{"edit", "--screenshot", "@shot.png"}
                                          << "offscreen" << 0 << "";
    QTest::newRow("screenshot needs no display") << QStringList{"edit", "--screenshot", "@s2.png"}
                                                 << "" << 0 << "";
    QTest::newRow("window needs a display") << QStringList{"edit"} << "" << 1 << "display";
    QTest::newRow("unreadable scene") << QStringList{"edit", "@bad.json", "--screenshot", "@x.png"}
                                      << "offscreen" << 1 << "bad.json";
  }
  void editCommand() {
    QFETCH(QStringList, args);
    QFETCH(QString, platform);
    QFETCH(int, status);
    QFETCH(QString, stderrHas);
    std::ofstream(File("bad.json").toStdString()) << "{ not json";
    for (QString& a : args)
      if (a.startsWith('@')) a = dir_->filePath(a.mid(1));
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(v);
    if (!platform.isEmpty()) env.insert("QT_QPA_PLATFORM", platform);
    p.setProcessEnvironment(env);
    p.start(LUMATRICE_EXE, args);
    QVERIFY(p.waitForFinished(120000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    QVERIFY2(p.exitCode() == status, qPrintable(err));
    QVERIFY2(err.contains(stderrHas), qPrintable(err));
    if (status == 0) {
      const QImage shot(args.last());
      QVERIFY(!shot.isNull());
      QVERIFY(shot.width() >= 800);
    }
  }
};

QTEST_MAIN(EditorTest)
#include "editor_test.moc"
