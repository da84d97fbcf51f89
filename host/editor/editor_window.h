// The editor's main window: the scene's render-effect list, the selected
// effect's rollup (opened through the effect's CreateParamDialog), a time
// slider over the render's frames, the preview, Render, and the File menu
// with a prompt before unsaved changes are lost.
#pragma once

#include "sdk_for_qt.h"  // first: see there

#include <QImage>
#include <QMainWindow>
#include <QString>

#include <memory>
#include <string>

#include "plugin_loader.h"
#include "preview.h"
#include "rollup.h"
#include "scene.h"

class QAction;
class QLabel;
class QListWidget;
class QMenu;
class QTimer;
class QVBoxLayout;

namespace editor {

class TimeBar;

class EditorWindow : public QMainWindow, private IRendParams {
  Q_OBJECT
 public:
  // The plug-ins must stay loaded while the window lives.
  explicit EditorWindow(pluginloader::PluginLoader& plugins, QWidget* parent = nullptr);
  ~EditorWindow() override;

  // ---- scene (no prompts; the File menu asks first) ----
  // A scene with one effect of the Lumatrice class when a module offers it.
  void NewScene(const QString& path = QString());
  bool OpenScene(const QString& path, QString& error);
  bool SaveScene(const QString& path, QString& error);
  // The scene differs from what was last opened or saved.
  bool IsModified() const;
  const QString& path() const { return path_; }
  lumatrice::Scene& scene() { return scene_; }

  // ---- effects ----
  bool AddEffect(ClassDesc* cd, QString& error);
  void RemoveEffect(int index);
  void SelectEffect(int index);  // -1: none
  int selected() const;
  // The open rollup's panel of the selected effect; null without one.
  RollupPanel* CurrentPanel() const;
  RollupHost& rollups() { return rollups_; }

  // ---- time and preview ----
  void SetFrame(int frame);
  int frame() const;
  TimeBar* timeBar() const { return time_; }
  void SetSlatePreview(bool on);
  bool PickPreviewImage(const QString& path, QString& error);  // "" = built-in renderer
  // Redraws a preview that is due now instead of on the next event loop turn.
  void FlushPreview();
  const QImage& previewImage() const { return preview_->image(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // IRendParams
  TimeValue GetTime() override;
  void AddRollupPage(QWidget* page) override;

  void BuildMenus();
  QWidget* BuildEffectsPane();
  QWidget* BuildPreviewPane();
  void FillAddMenu();
  void ResetScene(lumatrice::Scene scene, const QString& path);
  void RebuildList();
  void CloseRollup();
  void ApplyHostSettings();
  void UpdateTimeRange();
  void ScheduleUpdate();
  void UpdateNow();
  void UpdateTitle();
  bool MaybeSave();
  bool SaveAs();
  void Render();
  void ShowProblem(const QString& text);

  pluginloader::PluginLoader& plugins_;
  RollupHost rollups_;
  lumatrice::Scene scene_;
  QString path_;
  std::string saved_text_;  // the scene as last opened or saved
  IAutoEParamDlg* rollup_ = nullptr;

  QListWidget* list_ = nullptr;
  QMenu* add_menu_ = nullptr;
  QAction* remove_action_ = nullptr;
  QWidget* rollup_area_ = nullptr;
  QVBoxLayout* rollup_layout_ = nullptr;
  QLabel* rollup_note_ = nullptr;
  PreviewView* preview_ = nullptr;
  PreviewRenderer renderer_;
  TimeBar* time_ = nullptr;
  QAction* slate_action_ = nullptr;
  QAction* fit_action_ = nullptr;
  QAction* actual_action_ = nullptr;
  QAction* animate_action_ = nullptr;
  QTimer* update_timer_ = nullptr;
  bool rendering_ = false;
};

}  // namespace editor
