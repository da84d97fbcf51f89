// The editor library's entry: Qt application, plug-ins, the effects' message
// boxes as modal Qt boxes, the main window; or, for --screenshot, one picture
// of the window and out.
#include <QApplication>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "edit_entry.h"
#include "editor_window.h"
#include "message_boxes.h"
#include "raster_host.h"

namespace editor {
namespace {

bool HasDisplay() {
  for (const char* v : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* s = std::getenv(v);
    if (s && *s) return true;
  }
  return false;
}

int Run(const LumatriceEditRequest& request) {
  const QString screenshot = QString::fromUtf8(request.screenshot ? request.screenshot : "");
  if (!HasDisplay()) {
    if (screenshot.isEmpty()) {
      std::fprintf(stderr,
                   "lumatrice: error: edit needs a display (DISPLAY or WAYLAND_DISPLAY); "
                   "without one, set QT_QPA_PLATFORM=offscreen\n");
      return 1;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);  // a picture needs no screen
  }
  int argc = 1;
  char* argv[] = {const_cast<char*>(request.program), nullptr};
  QApplication app(argc, argv);
  QApplication::setApplicationName("Lumatrice");

  pluginloader::PluginLoader plugins;
  pluginloader::FolderOptions options;
  for (int i = 0; i < request.plugin_folder_count; ++i)
    options.folders.push_back(request.plugin_folders[i]);
  plugins.LoadFolders(pluginloader::PluginFolders(options));
  for (const auto& r : plugins.Refused())
    std::fprintf(stderr, "lumatrice: warning: %s: %s\n", r.path.c_str(), r.reason.c_str());

  InstallMessageBoxes();
  int status = 0;
  {
    EditorWindow window(plugins);
    const QString scene = QString::fromUtf8(request.scene ? request.scene : "");
    if (!scene.isEmpty()) {
      QString error;
      if (!QFileInfo::exists(scene)) {
        window.NewScene(scene);  // saved there on the first Save
      } else if (!window.OpenScene(scene, error)) {
        std::fprintf(stderr, "lumatrice: error: %s\n", error.toLocal8Bit().constData());
        textraster::SetMessageBoxHandler({});
        return 1;
      }
    }
    window.show();
    if (screenshot.isEmpty()) {
      status = app.exec();
    } else {
      QApplication::processEvents();
      window.FlushPreview();
      QApplication::processEvents();
      if (!window.grab().save(screenshot)) {
        std::fprintf(stderr, "lumatrice: error: cannot write %s\n",
                     screenshot.toLocal8Bit().constData());
        status = 1;
      }
    }
  }
  textraster::SetMessageBoxHandler({});
  return status;
}

}  // namespace
}  // namespace editor

extern "C" __attribute__((visibility("default"))) int LumatriceEditorMain(
    const LumatriceEditRequest* request) noexcept {
  if (!request || request->size != int(sizeof(LumatriceEditRequest))) {
    std::fprintf(stderr, "lumatrice: error: the editor library does not match this program\n");
    return 1;
  }
  try {
    return editor::Run(*request);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumatrice: error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "lumatrice: error: the editor failed\n");
  }
  return 1;
}
