// The main window: scene, effect list, rollup, time, preview, render, files.
#include "editor_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QSlider>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "ansi_text.h"
#include "host_api.h"
#include "host_session.h"
#include "raster_host.h"
#include "render_job.h"
#include "run_plan.h"
#include "sequence.h"
#include "time_bar.h"

namespace editor {
namespace {

using lumatrice::kDefaultFrames;
using lumatrice::kDefaultHeight;
using lumatrice::kDefaultWidth;

}  // namespace

EditorWindow::EditorWindow(pluginloader::PluginLoader& plugins, QWidget* parent)
    : QMainWindow(parent), plugins_(plugins) {
  update_timer_ = new QTimer(this);
  update_timer_->setSingleShot(true);
  update_timer_->setInterval(0);
  connect(update_timer_, &QTimer::timeout, this, &EditorWindow::UpdateNow);
  connect(&rollups_, &RollupHost::valueEdited, this, &EditorWindow::ScheduleUpdate);
  connect(&rollups_, &RollupHost::invalidated, this, &EditorWindow::ScheduleUpdate);

  auto* split = new QSplitter(Qt::Horizontal, this);
  split->addWidget(BuildEffectsPane());
  split->addWidget(BuildPreviewPane());
  split->setStretchFactor(0, 0);
  split->setStretchFactor(1, 1);
  split->setChildrenCollapsible(false);
  setCentralWidget(split);
  BuildMenus();
  statusBar();
  resize(1180, 720);
  NewScene();
}

EditorWindow::~EditorWindow() {
  CloseRollup();
  // The effects go before the rollup hooks and the plug-ins.
  scene_ = lumatrice::Scene();
}

// ---- layout ----------------------------------------------------------------------

QWidget* EditorWindow::BuildEffectsPane() {
  auto* pane = new QWidget(this);
  auto* v = new QVBoxLayout(pane);
  auto* heading = new QLabel(tr("Render effects"), pane);
  QFont bold = heading->font();
  bold.setBold(true);
  heading->setFont(bold);
  v->addWidget(heading);

  list_ = new QListWidget(pane);
  list_->setObjectName("effects");
  list_->setMaximumHeight(110);
  v->addWidget(list_);
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    CloseRollup();
    rollup_note_->clear();
    if (row < 0 || row >= int(scene_.items.size())) return;
    lumatrice::Scene::Item& item = scene_.items[row];
    if (!item.effect) {
      rollup_note_->setText(
          tr("No loaded plug-in offers class %1 (%2): the entry is kept unchanged and skipped "
             "in renders.")
              .arg(QString::fromStdString(
                  lumatrice::FormatClassID(item.entry.class_a, item.entry.class_b)))
              .arg(QString::fromStdString(item.entry.class_name)));
      return;
    }
    rollup_ = item.effect->CreateParamDialog(this);
    if (!rollup_) {
      rollup_note_->setText(tr("This effect has no parameters to edit."));
      return;
    }
    if (RollupPanel* panel = CurrentPanel(); panel && !panel->problems().isEmpty()) {
      rollup_note_->setText(panel->problems().join('\n'));
      ShowProblem(panel->problems().front());
    }
  });

  auto* buttons = new QHBoxLayout;
  auto* add = new QToolButton(pane);
  add->setText(tr("Add"));
  add->setPopupMode(QToolButton::InstantPopup);
  add_menu_ = new QMenu(add);
  add->setMenu(add_menu_);
  connect(add_menu_, &QMenu::aboutToShow, this, &EditorWindow::FillAddMenu);
  auto* remove = new QToolButton(pane);
  remove_action_ = new QAction(tr("Remove"), this);
  connect(remove_action_, &QAction::triggered, this, [this] { RemoveEffect(selected()); });
  remove->setDefaultAction(remove_action_);
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addStretch(1);
  v->addLayout(buttons);

  rollup_area_ = new QWidget;
  rollup_layout_ = new QVBoxLayout(rollup_area_);
  rollup_layout_->setContentsMargins(0, 0, 0, 0);
  rollup_note_ = new QLabel(rollup_area_);
  rollup_note_->setWordWrap(true);
  rollup_layout_->addWidget(rollup_note_);
  rollup_layout_->addStretch(1);
  auto* scroll = new QScrollArea(pane);
  scroll->setWidget(rollup_area_);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setMinimumWidth(340);
  v->addWidget(scroll, 1);
  return pane;
}

QWidget* EditorWindow::BuildPreviewPane() {
  auto* pane = new QWidget(this);
  auto* v = new QVBoxLayout(pane);
  preview_ = new PreviewView(pane);
  v->addWidget(preview_, 1);

  auto* bar = new QHBoxLayout;
  time_ = new TimeBar(pane);
  bar->addWidget(time_, 1);
  connect(time_, &TimeBar::valueChanged, this, [this] {
    if (rollup_) rollup_->InvalidateUI();
    ScheduleUpdate();
  });
  auto* tools = new QToolBar(pane);
  animate_action_ = tools->addAction(tr("Auto Key"));
  animate_action_->setCheckable(true);
  animate_action_->setChecked(hostsdk::AnimateMode());
  animate_action_->setToolTip(tr("Changes to animatable switches set keys at the slider's frame"));
  connect(animate_action_, &QAction::toggled, this, [](bool on) { hostsdk::SetAnimateMode(on); });
  slate_action_ = tools->addAction(tr("Slate"));
  slate_action_->setCheckable(true);
  slate_action_->setToolTip(tr("Preview the frame as a render's first frame"));
  connect(slate_action_, &QAction::toggled, this, &EditorWindow::ScheduleUpdate);
  tools->addSeparator();
  auto* zoom = new QActionGroup(this);
  fit_action_ = tools->addAction(tr("Fit"));
  actual_action_ = tools->addAction(tr("1:1"));
  for (QAction* a : {fit_action_, actual_action_}) {
    a->setCheckable(true);
    zoom->addAction(a);
  }
  fit_action_->setChecked(true);
  connect(fit_action_, &QAction::toggled, this, [this](bool on) { preview_->SetFit(on); });
  bar->addWidget(tools);
  v->addLayout(bar);
  return pane;
}

void EditorWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(tr("&New"), QKeySequence::New, this, [this] {
    if (MaybeSave()) NewScene();
  });
  file->addAction(tr("&Open..."), QKeySequence::Open, this, [this] {
    if (!MaybeSave()) return;
    const QString p = QFileDialog::getOpenFileName(this, tr("Open scene"), QFileInfo(path_).path(),
                                                   tr("Scene files (*.json);;All files (*)"));
    QString error;
    if (!p.isEmpty() && !OpenScene(p, error))
      QMessageBox::critical(this, tr("Open scene"), error);
  });
  file->addAction(tr("&Save"), QKeySequence::Save, this, [this] {
    QString error;
    if (path_.isEmpty())
      SaveAs();
    else if (!SaveScene(path_, error))
      QMessageBox::critical(this, tr("Save scene"), error);
  });
  file->addAction(tr("Save &As..."), QKeySequence::SaveAs, this, [this] { SaveAs(); });
  file->addSeparator();
  file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);

  QMenu* effects = menuBar()->addMenu(tr("&Effects"));
  QMenu* add = effects->addMenu(tr("&Add"));
  connect(add, &QMenu::aboutToShow, this, [this, add] {
    FillAddMenu();
    add->clear();
    for (QAction* a : add_menu_->actions()) add->addAction(a);
  });
  effects->addAction(remove_action_);

  QMenu* render = menuBar()->addMenu(tr("&Render"));
  render->addAction(tr("&Render..."), QKeySequence(Qt::Key_F9), this, &EditorWindow::Render);

  QMenu* view = menuBar()->addMenu(tr("&View"));
  view->addAction(fit_action_);
  view->addAction(actual_action_);
  view->addSeparator();
  view->addAction(slate_action_);
  view->addAction(animate_action_);
  view->addSeparator();
  view->addAction(tr("Preview &Image..."), this, [this] {
    const QString p = QFileDialog::getOpenFileName(
        this, tr("Preview image"), QString(),
        tr("Images (*.png *.exr *.tif *.tiff *.jpg *.jpeg *.dpx);;All files (*)"));
    QString error;
    if (!p.isEmpty() && !PickPreviewImage(p, error))
      QMessageBox::critical(this, tr("Preview image"), error);
  });
  view->addAction(tr("&Built-in Renderer"), this, [this] {
    QString error;
    PickPreviewImage(QString(), error);
  });
}

void EditorWindow::FillAddMenu() {
  add_menu_->clear();
  for (ClassDesc* cd : plugins_.ClassesOf(RENDER_EFFECT_CLASS_ID)) {
    if (!cd->IsPublic()) continue;
    add_menu_->addAction(FromCp1252(cd->ClassName()), this, [this, cd] {
      QString error;
      if (!AddEffect(cd, error)) QMessageBox::critical(this, tr("Add effect"), error);
    });
  }
  if (add_menu_->isEmpty()) add_menu_->addAction(tr("(no render effects loaded)"))->setEnabled(false);
}

// ---- scene ---------------------------------------------------------------------

void EditorWindow::NewScene(const QString& path) {
  lumatrice::Scene fresh;
  std::string error;
  if (ClassDesc* cd = plugins_.FindClass(RENDER_EFFECT_CLASS_ID, lumatrice::kLumatriceClassID);
      cd && !fresh.AddEffect(cd, error))
    ShowProblem(QString::fromStdString(error));
  ResetScene(std::move(fresh), path);
}

bool EditorWindow::OpenScene(const QString& path, QString& error) {
  lumatrice::Scene loaded;
  std::vector<std::string> warnings;
  std::string why;
  const pluginloader::PluginLoader& plugins = plugins_;
  auto lookup = [&plugins](SClass_ID super, Class_ID id) { return plugins.FindClass(super, id); };
  if (!lumatrice::Scene::Load(path.toStdString(), lookup, loaded, warnings, why)) {
    error = QString::fromStdString(why);
    return false;
  }
  ResetScene(std::move(loaded), path);
  if (!warnings.empty()) ShowProblem(QString::fromStdString(warnings.front()));
  return true;
}

bool EditorWindow::SaveScene(const QString& path, QString& error) {
  std::string why;
  if (!scene_.Save(path.toStdString(), why)) {
    error = QString::fromStdString(why);
    return false;
  }
  path_ = path;
  if (!scene_.Serialize(saved_text_, why)) saved_text_.clear();
  ApplyHostSettings();  // the effects show the scene's new path
  ScheduleUpdate();
  statusBar()->showMessage(tr("Saved %1").arg(path), 4000);
  return true;
}

bool EditorWindow::IsModified() const {
  std::string text, error;
  if (!scene_.Serialize(text, error)) return true;
  return text != saved_text_;
}

void EditorWindow::ResetScene(lumatrice::Scene scene, const QString& path) {
  CloseRollup();
  scene_ = std::move(scene);
  path_ = path;
  std::string error;
  if (!scene_.Serialize(saved_text_, error)) saved_text_.clear();
  ApplyHostSettings();
  UpdateTimeRange();
  RebuildList();
  int first = -1;
  for (std::size_t i = 0; i < scene_.items.size() && first < 0; ++i)
    if (scene_.items[i].effect) first = int(i);
  SelectEffect(first >= 0 ? first : (scene_.items.empty() ? -1 : 0));
  ScheduleUpdate();
}

bool EditorWindow::MaybeSave() {
  if (!IsModified()) return true;
  const auto answer = QMessageBox::warning(
      this, tr("Lumatrice"), tr("The scene has unsaved changes. Save them?"),
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
  if (answer == QMessageBox::Cancel) return false;
  if (answer == QMessageBox::Discard) return true;
  if (path_.isEmpty()) return SaveAs();
  QString error;
  if (SaveScene(path_, error)) return true;
  QMessageBox::critical(this, tr("Save scene"), error);
  return false;
}

bool EditorWindow::SaveAs() {
  QString p = QFileDialog::getSaveFileName(this, tr("Save scene as"),
                                           path_.isEmpty() ? "scene.json" : path_,
                                           tr("Scene files (*.json);;All files (*)"));
  if (p.isEmpty()) return false;
  if (QFileInfo(p).suffix().isEmpty()) p += ".json";
  QString error;
  if (SaveScene(p, error)) return true;
  QMessageBox::critical(this, tr("Save scene"), error);
  return false;
}

void EditorWindow::closeEvent(QCloseEvent* event) {
  if (rendering_ || !MaybeSave()) {
    event->ignore();
    return;
  }
  CloseRollup();
  event->accept();
}

// ---- effects -------------------------------------------------------------------

void EditorWindow::RebuildList() {
  const QSignalBlocker quiet(list_);
  list_->clear();
  for (const lumatrice::Scene::Item& item : scene_.items) {
    if (item.effect) {
      list_->addItem(FromCp1252(item.effect->GetName()));
    } else {
      auto* row = new QListWidgetItem(
          tr("%1 (not loaded)").arg(QString::fromStdString(
              item.entry.class_name.empty() ? std::string("unnamed") : item.entry.class_name)));
      row->setForeground(palette().color(QPalette::Disabled, QPalette::Text));
      list_->addItem(row);
    }
  }
  remove_action_->setEnabled(!scene_.items.empty());
}

bool EditorWindow::AddEffect(ClassDesc* cd, QString& error) {
  std::string why;
  if (!scene_.AddEffect(cd, why)) {
    error = QString::fromStdString(why);
    return false;
  }
  RebuildList();
  SelectEffect(int(scene_.items.size()) - 1);
  ScheduleUpdate();
  return true;
}

void EditorWindow::RemoveEffect(int index) {
  if (index < 0 || index >= int(scene_.items.size())) return;
  CloseRollup();
  if (Effect* e = scene_.items[index].effect) e->DeleteThis();
  scene_.items.erase(scene_.items.begin() + index);
  RebuildList();
  SelectEffect(std::min(index, int(scene_.items.size()) - 1));
  ScheduleUpdate();
}

void EditorWindow::SelectEffect(int index) {
  if (list_->currentRow() == index) {
    // Same row again (e.g. after a rebuild): open its rollup anew.
    emit list_->currentRowChanged(index);
    return;
  }
  list_->setCurrentRow(index);
}

int EditorWindow::selected() const { return list_->currentRow(); }

RollupPanel* EditorWindow::CurrentPanel() const {
  for (Rollup* r : rollups_.open())
    if (static_cast<IAutoEParamDlg*>(r) == rollup_ && !r->panels().empty())
      return r->panels().front();
  return nullptr;
}

void EditorWindow::CloseRollup() {
  if (rollup_) rollup_->DeleteThis();
  rollup_ = nullptr;
}

TimeValue EditorWindow::GetTime() {
  const std::int64_t t = std::int64_t(frame()) * hostsdk::TicksPerFrame();
  return TimeValue(std::clamp<std::int64_t>(t, INT32_MIN + 1, INT32_MAX));
}

void EditorWindow::AddRollupPage(QWidget* page) {
  page->setParent(rollup_area_);
  rollup_layout_->insertWidget(rollup_layout_->count() - 2, page);  // above the note
  page->show();
}

// ---- time, host settings, preview ---------------------------------------------------

void EditorWindow::ApplyHostSettings() {
  lumatrice::RunOptions options;
  options.scene_file = path_.toStdString();
  if (const lumatrice::Status applied = lumatrice::ApplyHostSettings(options, scene_.settings);
      !applied)
    ShowProblem(QString::fromStdString(applied.message()));
}

void EditorWindow::UpdateTimeRange() {
  std::vector<int> frames;
  std::string error;
  if (!lumatrice::ParseFrameRange(scene_.settings.frames.empty() ? kDefaultFrames
                                                                 : scene_.settings.frames,
                                  frames, error))
    lumatrice::ParseFrameRange(kDefaultFrames, frames, error);
  const auto [lo, hi] = std::minmax_element(frames.begin(), frames.end());
  time_->SetRange(*lo, *hi, frames.front());
}

void EditorWindow::SetFrame(int frame) { time_->SetValue(frame); }
int EditorWindow::frame() const { return time_->value(); }

void EditorWindow::SetSlatePreview(bool on) { slate_action_->setChecked(on); }

bool EditorWindow::PickPreviewImage(const QString& path, QString& error) {
  if (path.isEmpty()) {
    renderer_.UseProcedural(scene_.settings.width > 0 ? scene_.settings.width : kDefaultWidth,
                            scene_.settings.height > 0 ? scene_.settings.height : kDefaultHeight,
                            hostsdk::FrameRate());
  } else {
    std::string why;
    if (!renderer_.UseImage(path.toStdString(), why)) {
      error = QString::fromStdString(why);
      return false;
    }
  }
  ScheduleUpdate();
  return true;
}

void EditorWindow::ScheduleUpdate() { update_timer_->start(); }

void EditorWindow::FlushPreview() {
  if (update_timer_->isActive()) {
    update_timer_->stop();
    UpdateNow();
  }
}

void EditorWindow::UpdateNow() {
  UpdateTitle();
  if (rendering_) return;
  ApplyHostSettings();
  if (!renderer_.UsesImage())
    renderer_.UseProcedural(scene_.settings.width > 0 ? scene_.settings.width : kDefaultWidth,
                            scene_.settings.height > 0 ? scene_.settings.height : kDefaultHeight,
                            hostsdk::FrameRate());
  QImage image;
  std::string error;
  if (renderer_.Render(scene_.LiveEffects(), frame(), slate_action_->isChecked(), image, error))
    preview_->SetImage(image);
  else
    ShowProblem(QString::fromStdString(error));
}

void EditorWindow::UpdateTitle() {
  const QString name = path_.isEmpty() ? tr("Untitled") : QFileInfo(path_).fileName();
  setWindowTitle(tr("%1[*] - Lumatrice").arg(name));
  setWindowModified(IsModified());
}

void EditorWindow::ShowProblem(const QString& text) { statusBar()->showMessage(text, 8000); }

// ---- render --------------------------------------------------------------------

void EditorWindow::Render() {
  const lumatrice::SceneSettings& s = scene_.settings;
  RenderRequest defaults;
  const QString folder = path_.isEmpty() ? QDir::currentPath() : QFileInfo(path_).absolutePath();
  defaults.output = QDir(folder).filePath("lumatrice-out/frame.#.png").toStdString();
  defaults.frames = s.frames.empty() ? kDefaultFrames : s.frames;
  defaults.scene_file = path_.toStdString();
  defaults.width = s.width > 0 ? s.width : kDefaultWidth;
  defaults.height = s.height > 0 ? s.height : kDefaultHeight;
  RenderDialog dialog(defaults, this);
  if (dialog.exec() != QDialog::Accepted) return;
  const RenderRequest request = dialog.request();
  lumatrice::PipelineOptions options;
  std::string error;
  if (!PrepareRender(request, options, error)) {
    QMessageBox::critical(this, tr("Render"), QString::fromStdString(error));
    return;
  }
  ApplyHostSettings();
  rendering_ = true;
  const lumatrice::PipelineResult r = RunRender(this, options, scene_.LiveEffects(),
                                                request.width, request.height,
                                                hostsdk::FrameRate());
  rendering_ = false;
  if (r.failed)
    QMessageBox::critical(this, tr("Render"),
                          tr("The render failed: %1").arg(QString::fromStdString(r.error)));
  else if (r.cancelled)
    statusBar()->showMessage(tr("Render cancelled: %1 frames written").arg(r.written), 8000);
  else
    statusBar()->showMessage(tr("Rendered %1 frames to %2 in %3 s")
                                 .arg(r.written)
                                 .arg(QString::fromStdString(request.output))
                                 .arg(r.seconds, 0, 'f', 2),
                             8000);
  ScheduleUpdate();
}

}  // namespace editor
