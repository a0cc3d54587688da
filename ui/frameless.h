// The mouse rules shared by the frameless windows: a left-button drag moves the window, a
// right-button press on the window's own background closes it. A press on a child (a label,
// a table) never closes anything: labels pass their presses on to the window.
#pragma once

#include <QMouseEvent>
#include <QWidget>

class CFramelessDrag {
 public:
  // Returns true when the press asks to close `window`.
  bool Press(QWidget* window, QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
      m_offset = event->globalPosition().toPoint() - window->frameGeometry().topLeft();
      m_dragging = true;
      return false;
    }
    return event->button() == Qt::RightButton && window->childAt(event->position().toPoint()) == nullptr;
  }
  void Move(QWidget* window, QMouseEvent* event) {
    if (m_dragging && (event->buttons() & Qt::LeftButton)) window->move(event->globalPosition().toPoint() - m_offset);
  }
  void Release() { m_dragging = false; }

 private:
  QPoint m_offset;
  bool m_dragging = false;
};

// Adds the drag rules to a widget class.
#define VORLENTA_FRAMELESS_MOUSE()                                               \
 protected:                                                                      \
  void mousePressEvent(QMouseEvent* event) override {                            \
    if (m_drag.Press(this, event)) close();                                      \
  }                                                                              \
  void mouseMoveEvent(QMouseEvent* event) override { m_drag.Move(this, event); } \
  void mouseReleaseEvent(QMouseEvent*) override { m_drag.Release(); }            \
                                                                                 \
 private:                                                                        \
  CFramelessDrag m_drag;
