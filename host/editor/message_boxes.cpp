// The effects' message boxes as modal Qt message boxes.
#include "message_boxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "ansi_text.h"
#include "raster_host.h"

namespace editor {
namespace {

// Message box types, icons and results as the platform numbers them.
constexpr UINT kTypeMask = 0x0F, kIconMask = 0xF0;
enum : UINT { kOk, kOkCancel, kAbortRetryIgnore, kYesNoCancel, kYesNo, kRetryCancel };
enum : UINT { kIconError = 0x10, kIconQuestion = 0x20, kIconWarning = 0x30, kIconInfo = 0x40 };
enum : int { kIdOk = 1, kIdCancel, kIdAbort, kIdRetry, kIdIgnore, kIdYes, kIdNo };

int ShowBox(const QString& text, const QString& caption, UINT type) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (type & kIconMask) {
    case kIconError: icon = QMessageBox::Critical; break;
    case kIconQuestion: icon = QMessageBox::Question; break;
    case kIconWarning: icon = QMessageBox::Warning; break;
    case kIconInfo: icon = QMessageBox::Information; break;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (type & kTypeMask) {
    case kOkCancel: buttons = QMessageBox::Ok | QMessageBox::Cancel; break;
    case kAbortRetryIgnore: buttons = QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore; break;
    case kYesNoCancel: buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel; break;
    case kYesNo: buttons = QMessageBox::Yes | QMessageBox::No; break;
    case kRetryCancel: buttons = QMessageBox::Retry | QMessageBox::Cancel; break;
  }
  QMessageBox box(icon, caption, text, buttons, QApplication::activeWindow());
  box.setWindowModality(Qt::ApplicationModal);
  switch (box.exec()) {
    case QMessageBox::Cancel: return kIdCancel;
    case QMessageBox::Abort: return kIdAbort;
    case QMessageBox::Retry: return kIdRetry;
    case QMessageBox::Ignore: return kIdIgnore;
    case QMessageBox::Yes: return kIdYes;
    case QMessageBox::No: return kIdNo;
    default: return kIdOk;
  }
}

// Effects may ask from a render's worker thread: the box opens on the GUI
// thread and the caller waits for the answer.
int MessageBoxHandler(const char* text, const char* caption, UINT type) {
  const QString t = FromCp1252(text), c = FromCp1252(caption);
  if (QThread::currentThread() == qApp->thread()) return ShowBox(t, c, type);
  int result = kIdOk;
  QMetaObject::invokeMethod(qApp, [&] { result = ShowBox(t, c, type); },
                            Qt::BlockingQueuedConnection);
  return result;
}

}  // namespace

void InstallMessageBoxes() { textraster::SetMessageBoxHandler(MessageBoxHandler); }

}  // namespace editor
