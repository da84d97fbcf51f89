// Slider and frame box kept in step.
#include "time_bar.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>

namespace editor {

TimeBar::TimeBar(QWidget* parent)
    : QWidget(parent), slider_(new QSlider(Qt::Horizontal, this)), box_(new QSpinBox(this)) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->addWidget(new QLabel(tr("Frame"), this));
  row->addWidget(slider_, 1);
  row->addWidget(box_);
  slider_->setObjectName("time");
  connect(slider_, &QSlider::valueChanged, this, [this](int f) {
    const QSignalBlocker quiet(box_);
    box_->setValue(f);
    emit valueChanged(f);
  });
  connect(box_, &QSpinBox::valueChanged, slider_, &QSlider::setValue);
}

void TimeBar::SetRange(int first, int last, int value) {
  const QSignalBlocker quiet_slider(slider_);
  const QSignalBlocker quiet_box(box_);
  slider_->setRange(first, last);
  box_->setRange(first, last);
  slider_->setValue(value);
  box_->setValue(value);
}

void TimeBar::SetValue(int frame) { slider_->setValue(frame); }
int TimeBar::value() const { return slider_->value(); }

}  // namespace editor
