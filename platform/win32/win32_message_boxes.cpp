#include "win32_message_boxes.h"

#include "afxwin.h"

void AfxMessageBoxes::ShowOk(const std::string& text) {
  if (owner_ == nullptr) {
    AfxMessageBox(text.c_str(), MB_OK);
  } else {
    owner_->MessageBox(text.c_str(), nullptr, MB_OK | MB_ICONEXCLAMATION);  // as AfxMessageBox shows it
  }
}
