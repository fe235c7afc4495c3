#pragma once
// frmPrintForm: printing of messages. For now it only reads its page
// template, the shipped file Res/TVRRMT01.DAT (stored enciphered).
#include <string>

class frmPrintForm {
 public:
  // The deciphered text of the print template; "" when the file is missing.
  // Errors are reported and raised again.
  static std::string LoadPrintTemplate();
};
