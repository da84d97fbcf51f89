// The render dialog, the request checks and the worker behind the progress dialog.
#include "render_job.h"

#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "image_io.h"
#include "run_plan.h"
#include "sequence.h"

namespace editor {
namespace fs = std::filesystem;
namespace {

// Counts what the pipeline reports from its threads; the dialog polls it.
class Progress : public lumatrice::PipelineObserver {
 public:
  void FrameApplying(int frame) override {
    frame_ = frame;
    rows_ = 0;
  }
  void RowProgress(int done, int total) override {
    rows_ = total > 0 ? done * 100 / total : 0;
  }
  void FrameWritten(int, const std::string&) override { ++written_; }

  std::atomic<int> frame_{0};
  std::atomic<int> rows_{0};  // percent of the frame being applied
  std::atomic<int> written_{0};
};

}  // namespace

bool PrepareRender(const RenderRequest& request, lumatrice::PipelineOptions& options,
                   std::string& error) {
  std::vector<int> frames;
  lumatrice::SequencePattern output;
  lumatrice::Status planned = lumatrice::ResolveFrames(request.frames, request.frames, frames);
  if (planned) planned = lumatrice::ParseOutput(request.output, frames, output);
  if (planned) planned = lumatrice::CheckOutputSparesScene(output, frames, request.scene_file);
  if (planned) planned = lumatrice::MakeOutputFolder(output, frames.front());
  if (!planned) {
    error = planned.message();
    return false;
  }
  options.frames = frames;
  options.render_start = frames.front();
  options.output = output;
  return true;
}

lumatrice::PipelineResult RunRender(QWidget* parent, lumatrice::PipelineOptions options,
                                    const std::vector<Effect*>& effects, int width, int height,
                                    int fps) {
  options.effects = effects;
  const int total = int(options.frames.size());
  QProgressDialog dialog(QObject::tr("Rendering..."), QObject::tr("Cancel"), 0, total * 100,
                         parent);
  dialog.setWindowTitle(QObject::tr("Render"));
  dialog.setWindowModality(Qt::ApplicationModal);
  dialog.setAutoClose(false);
  dialog.setAutoReset(false);
  dialog.setMinimumDuration(0);

  lumatrice::CancelFlags cancel;
  Progress progress;
  lumatrice::PipelineResult result;
  std::atomic<bool> finished{false};
  QEventLoop loop;
  QObject::connect(&dialog, &QProgressDialog::canceled, [&] {
    cancel.stop = true;
    dialog.setLabelText(QObject::tr("Cancelling..."));
  });
  dialog.setValue(0);
  dialog.show();

  lumatrice::ProceduralSource source(width, height, fps);
  std::thread worker([&] {
    result = lumatrice::RunPipeline(options, source, cancel, &progress);
    finished = true;
    QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
  });

  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (dialog.wasCanceled()) cancel.stop = true;
    const int written = progress.written_;
    dialog.setValue(std::min(total * 100, written * 100 + progress.rows_));
    if (!cancel.stop)
      dialog.setLabelText(QObject::tr("Frame %1 (%2 of %3 written)")
                              .arg(progress.frame_.load())
                              .arg(written)
                              .arg(total));
  });
  poll.start(50);
  if (!finished) loop.exec();
  worker.join();
  return result;
}

// ---- dialog ------------------------------------------------------------------

RenderDialog::RenderDialog(const RenderRequest& defaults, QWidget* parent)
    : QDialog(parent), scene_file_(defaults.scene_file) {
  setWindowTitle(tr("Render"));
  auto* form = new QFormLayout(this);
  output_ = new QLineEdit(QString::fromStdString(defaults.output), this);
  auto* browse = new QPushButton(tr("Browse..."), this);
  auto* row = new QHBoxLayout;
  row->addWidget(output_, 1);
  row->addWidget(browse);
  form->addRow(tr("Output frames:"), row);
  frames_ = new QLineEdit(QString::fromStdString(defaults.frames), this);
  frames_->setToolTip(tr("7, 1-100, 1-100x2, 1-10,20-30"));
  form->addRow(tr("Frames:"), frames_);
  size_ = new QLineEdit(QStringLiteral("%1x%2").arg(defaults.width).arg(defaults.height), this);
  form->addRow(tr("Size:"), size_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(tr("Render"));
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &RenderDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &RenderDialog::reject);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString file = QFileDialog::getSaveFileName(
        this, tr("Output frames"), output_->text(),
        tr("Images (*.png *.exr *.tif *.jpg);;All files (*)"), nullptr,
        QFileDialog::DontConfirmOverwrite);
    if (!file.isEmpty()) output_->setText(file);
  });
}

RenderRequest RenderDialog::request() const {
  RenderRequest r;
  r.output = output_->text().toStdString();
  r.frames = frames_->text().toStdString();
  r.scene_file = scene_file_;
  ParseFrameSize(size_->text().toStdString(), r.width, r.height);
  return r;
}

void RenderDialog::accept() {
  int w = 0, h = 0;
  std::string error;
  if (!ParseFrameSize(size_->text().toStdString(), w, h, error)) {
    QMessageBox::warning(this, tr("Render"), QString::fromStdString("Size: " + error));
    return;
  }
  std::vector<int> frames;
  const std::string text = frames_->text().toStdString();
  if (const lumatrice::Status resolved = lumatrice::ResolveFrames(text, text, frames); !resolved) {
    QMessageBox::warning(this, tr("Render"), QString::fromStdString(resolved.message()));
    return;
  }
  QDialog::accept();
}

}  // namespace editor
