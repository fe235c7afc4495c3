#pragma once
// frmInternalServices: the hidden start-up window. It is never shown; its
// only use is to own every message box and modal dialog of the program
// (modGenGlobals::AppOwnerForm). Creating it makes it the owner that
// modGlobalVariables::InitGlobalVariables hands out; destroying it withdraws
// it. Create exactly one, after the QApplication and before the start-up,
// and destroy it after the last dialog has closed.
#include <QWidget>

class frmInternalServices : public QWidget {
  Q_OBJECT

 public:
  frmInternalServices();
  ~frmInternalServices() override;
  frmInternalServices(const frmInternalServices&) = delete;
  frmInternalServices& operator=(const frmInternalServices&) = delete;

  // "FRMINTERNALSERVICES": the window's name in upper case.
  static constexpr const char* kUpperName = "FRMINTERNALSERVICES";
};
