// The editor's time slider with its frame box, kept in step.
#pragma once

#include <QWidget>

class QSlider;
class QSpinBox;

namespace editor {

class TimeBar : public QWidget {
  Q_OBJECT
 public:
  explicit TimeBar(QWidget* parent = nullptr);
  // Sets range and value without signalling.
  void SetRange(int first, int last, int value);
  void SetValue(int frame);  // signals valueChanged when it changes
  int value() const;
  QSlider* slider() const { return slider_; }

 signals:
  void valueChanged(int frame);

 private:
  QSlider* slider_;
  QSpinBox* box_;
};

}  // namespace editor
