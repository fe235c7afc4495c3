#pragma once
// frmInputIP: the small modal dialog in which a person types one IPv4
// address, a part of which may be "*" (any value) when the caller allows
// wildcards. Opened only through modGenFunctionsControl::InputIPFromUser:
// new dialog, LetDefaultIP, LetWildCardAllowed, ShowModal, GetEnteredIP.
//
// The default address is shown when the dialog first appears, if it is
// valid under the wildcard flag. Three digits typed in a part move on to the
// next one, as do "." and Tab; a "." or Tab right after such a move is
// swallowed, so "127.0.0.3" typed as it is written lands in the four parts.
// Enter presses OK. OK is enabled only while the four parts
// form a valid address and accepts it; Cancel or the close box leave the
// result empty. The dialog stays on top when its owner does. Owned by the
// given window, else by the program's owner window. UI thread only.
#include <QDialog>
#include <string>

#include "modGenFunctionsControl.h"

class QPushButton;

class frmInputIP : public QDialog {
  Q_OBJECT

 public:
  explicit frmInputIP(QWidget* owner = nullptr);

  void LetWildCardAllowed(bool allowed);
  void LetDefaultIP(const std::string& ip);
  // The accepted address; "" after Cancel or the close box.
  std::string GetEnteredIP() const { return enteredIP_; }
  // Restores a minimised dialog, then runs it modally.
  void ShowModal();
  void UpdateButtons();

  const modGenFunctionsControl::IPPartBoxes& IPParts() const { return txtIPPart_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void Form_Load();
  int partIndex(QObject* box) const;
  void FocusFirstPart();
  void txtIPPart_Edited(int index);
  void cmdOK_Click();
  void cmdClearIP_Click();
  void cmdCopyLocalIP_Click();

  bool wildCardAllowed_ = false;
  bool activated_ = false;
  // The part box that typing three digits moved the focus to, until the
  // next key or until it loses the focus; -1 for none.
  int autoMovedTo_ = -1;
  std::string enteredIP_;
  std::string defaultIP_;
  modGenFunctionsControl::IPPartBoxes txtIPPart_{};
  QPushButton* cmdOK_;
  QPushButton* cmdCancel_;
  QPushButton* cmdClearIP_;
  QPushButton* cmdCopyLocalIP_;
};
