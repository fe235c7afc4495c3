#pragma once
// clsTrayManager: the program's one icon in the desktop's notification
// area, with its tooltip (at most 63 characters are shown) and its two
// mouse actions: a double click (kDoubleClick) and a right click
// (kRightButtonUp), reported through `mouseAction`.
//
// Where the desktop has no notification area, Add shows a small window
// instead, titled with the tooltip and showing the icon, that offers the
// same two actions; it cannot be closed, only minimised, so the program
// always stays reachable. Its object name is kStandInName.
//
// State: 0 no icon (at first and after Remove), 1 after Add, 2 after
// Modify. The icon stays until Remove or the object's destruction. Errors
// (Add or Modify without OwnerForm or Icon) are reported under
// "clsGenTrayManager.<Operation>" and leave the state as it was. UI thread only.
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <memory>
#include <string>

class QSystemTrayIcon;
class QWidget;

class clsTrayManager : public QObject {
  Q_OBJECT

 public:
  // The mouse messages the owner acts on.
  static constexpr int kDoubleClick = 515;
  static constexpr int kRightButtonUp = 517;
  static constexpr int kMaxTipLength = 63;
  static constexpr const char* kStandInName = "clsTrayManager";

  clsTrayManager();
  ~clsTrayManager() override;

  QWidget* OwnerForm() const { return owner_; }
  void SetOwnerForm(QWidget* owner) { owner_ = owner; }
  int16_t State() const { return state_; }
  void Add();
  void Modify();
  void Remove();
  void SetIcon(const QIcon& icon) { icon_ = icon; }
  QIcon Icon() const { return icon_; }
  void SetTooltip(const std::string& tooltip) { tooltip_ = tooltip; }
  std::string Tooltip() const { return tooltip_; }

  // True when the desktop offers a notification area.
  static bool IsNotificationAreaAvailable();
  // The window standing in for the icon, or null.
  QWidget* StandIn() const { return standIn_; }

 signals:
  void mouseAction(int mouseMessage);

 private:
  void Show(bool adding);
  QString ShownTip() const;

  QPointer<QWidget> owner_;
  int16_t state_ = 0;
  QIcon icon_;
  std::string tooltip_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  QPointer<QWidget> standIn_;
};
