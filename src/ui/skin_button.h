#pragma once
// A skin button: a picture that reports pointer and left-button events
// with its code. What they do is decided by the window.

#include <QLabel>

namespace orvalis::ui {

class SkinButtonEvents {
 public:
  virtual ~SkinButtonEvents() = default;
  virtual void buttonPointerOver(int code) = 0;
  virtual void buttonMouseDown(int code) = 0;
  virtual void buttonMouseUp(int code) = 0;
};

class SkinButton : public QLabel {
  Q_OBJECT

 public:
  SkinButton(int code, SkinButtonEvents& events, QWidget* parent);
  int code() const { return code_; }

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  int code_;
  SkinButtonEvents& events_;
};

}  // namespace orvalis::ui
