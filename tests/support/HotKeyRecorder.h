#pragma once
// HotKeyRecorder: an object to register hot keys for; it records the id of
// every hot-key event it receives, in order, in `ids`.
#include <QEvent>
#include <QObject>
#include <vector>

#include "HotKeyTable.h"

class HotKeyRecorder : public QObject {
 public:
  std::vector<int> ids;

 protected:
  bool event(QEvent* event) override {
    if (event->type() != platform::HotKeyEvent::eventType()) return QObject::event(event);
    ids.push_back(static_cast<platform::HotKeyEvent*>(event)->id());
    return true;
  }
};
