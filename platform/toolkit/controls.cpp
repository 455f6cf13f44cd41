// Controls are the window's widgets that carry the dynamic properties
// "signature" (four characters) and "number".
#include "platform/toolkit/controls.h"

#include <algorithm>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QVariant>
#include <QWidget>

namespace {

// A static text keeps what was written, carriage returns and all, beside what it shows.
constexpr const char* kWrittenTextProperty = "orvaneWrittenText";

QString ShownText(const QString& written) {
  QString shown = written;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return shown;
}

}  // namespace

std::string FourCCString(FourCharCode code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[i] = char((code >> (24 - 8 * i)) & 0xFF);
  return text;
}

FourCharCode FourCCFromString(const std::string& text) {
  if (text.size() != 4) return 0;
  FourCharCode code = 0;
  for (char c : text) code = (code << 8) | std::uint8_t(c);
  return code;
}

OSStatus GetControlByID(WindowRef window, const ControlID& id, ControlRef* outControl) {
  *outControl = nullptr;
  if (!window) return errUnknownControl;
  const std::string signature = FourCCString(id.signature);
  const auto children = window->findChildren<QWidget*>();
  for (QWidget* child : children) {
    QVariant childSignature = child->property("signature");
    if (!childSignature.isValid() || childSignature.toString().toStdString() != signature) continue;
    bool ok = false;
    if (child->property("number").toInt(&ok) == id.id && ok) {
      *outControl = child;
      return noErr;
    }
  }
  return errUnknownControl;
}

OSStatus GetControlData(ControlRef control, ControlPartCode, OSType tag, std::optional<QString>& outText) {
  outText.reset();
  if (!control || tag != kControlEditTextCFStringTag) return paramErr;
  if (auto* field = qobject_cast<QLineEdit*>(control)) {
    outText = field->text();
    return noErr;
  }
  if (auto* label = qobject_cast<QLabel*>(control)) {
    QVariant written = label->property(kWrittenTextProperty);
    outText = written.isValid() ? written.toString() : label->text();
    return noErr;
  }
  return paramErr;
}

OSStatus SetControlData(ControlRef control, ControlPartCode, OSType tag, const QString& text) {
  if (!control || tag != kControlEditTextCFStringTag) return paramErr;
  if (auto* field = qobject_cast<QLineEdit*>(control)) {
    field->setText(text);
    return noErr;
  }
  if (auto* label = qobject_cast<QLabel*>(control)) {
    const QString shown = ShownText(text);
    label->setProperty(kWrittenTextProperty, text);
    label->setText(shown);
    label->setAccessibleName(shown);
    return noErr;
  }
  return paramErr;
}

SInt32 GetControl32BitValue(ControlRef control) {
  if (auto* popup = qobject_cast<QComboBox*>(control)) return popup->currentIndex() + 1;
  if (auto* button = qobject_cast<QAbstractButton*>(control)) return button->isChecked() ? 1 : 0;
  return 0;
}

void SetControl32BitValue(ControlRef control, SInt32 value) {
  if (auto* popup = qobject_cast<QComboBox*>(control)) {
    if (popup->count() == 0) return;
    popup->setCurrentIndex(std::clamp(value, SInt32(1), SInt32(popup->count())) - 1);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control); button && button->isCheckable()) {
    button->setChecked(value != 0);
  }
}

OSStatus EnableControl(ControlRef control) {
  if (!control) return paramErr;
  control->setEnabled(true);
  return noErr;
}

OSStatus DisableControl(ControlRef control) {
  if (!control) return paramErr;
  control->setEnabled(false);
  return noErr;
}

bool IsControlEnabled(ControlRef control) { return control && control->isEnabled(); }

MenuRef GetControlPopupMenuHandle(ControlRef control) { return qobject_cast<QComboBox*>(control); }

OSStatus CopyMenuItemTextAsCFString(MenuRef menu, MenuItemIndex item, std::optional<QString>& outText) {
  outText.reset();
  if (!menu || item < 1 || item > menu->count()) return paramErr;
  outText = menu->itemText(item - 1);
  return noErr;
}

void ShowWindow(WindowRef window) {
  if (window) window->show();
}
