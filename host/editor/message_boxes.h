// The effects' message boxes (MessageBoxA of the text-raster stand-in) shown
// as modal Qt message boxes over the active window, with the platform's
// buttons, icons and results. A box asked for on another thread (a render's
// apply thread) opens on the GUI thread while the caller waits for it.
#pragma once

namespace editor {

// Needs a QApplication; undo with textraster::SetMessageBoxHandler({}).
void InstallMessageBoxes();

}  // namespace editor
