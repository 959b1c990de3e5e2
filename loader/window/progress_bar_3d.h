#pragma once
// A progress bar drawn in three dimensions (a sunken well, a raised bar with a light top and a
// dark bottom edge) with the percentage in its middle, in a blue font. The transfer procedures
// set its maximum and position; 0 as maximum shows 0 %.
//
// Owner: its parent widget. Thread: the user-interface thread (the window's Progress adapter
// queues the worker's calls to it).

#include <QWidget>

namespace tavra::loader {

class ProgressBar3D : public QWidget {
  Q_OBJECT

 public:
  explicit ProgressBar3D(QWidget* parent = nullptr);

  [[nodiscard]] int maximum() const { return m_maximum; }
  [[nodiscard]] int position() const { return m_position; }
  // Whole percent, rounded down, 0..100.
  [[nodiscard]] int percent() const;

 public Q_SLOTS:
  void setMaximum(int maximum);
  void setPosition(int position);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int m_maximum = 100;
  int m_position = 0;
};

}  // namespace tavra::loader
