#include "platform/toolkit/timer.h"

#include <QTimer>
#include <QWidget>

OSStatus InstallEventLoopTimer(WindowRef owner, double delaySeconds, double intervalSeconds, std::function<void()> fire) {
  if (!owner || !fire) return paramErr;
  auto* timer = new QTimer(owner);  // goes with its window
  timer->setInterval(int(intervalSeconds * 1000));
  QObject::connect(timer, &QTimer::timeout, owner, [fire] { fire(); });
  QTimer::singleShot(int(delaySeconds * 1000), timer, [timer, fire] {
    fire();
    timer->start();
  });
  return noErr;
}

OSStatus SetControlVisibility(ControlRef control, bool visible) {
  if (!control) return paramErr;
  control->setVisible(visible);
  return noErr;
}

bool IsControlVisible(ControlRef control) { return control && !control->isHidden(); }
