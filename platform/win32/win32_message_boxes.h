// The OK boxes of the engine and of device preparation, shown by the framework with
// the application's name as caption. A box given an owner is owned by that window, on
// whichever thread it is shown; without one it is owned by the window active on the
// calling thread, and a worker thread has none.
#pragma once

#include "message_boxes.h"

class CWnd;

class AfxMessageBoxes : public MessageBoxes {
 public:
  explicit AfxMessageBoxes(CWnd* owner = nullptr) : owner_(owner) {}
  void ShowOk(const std::string& text) override;

 private:
  CWnd* owner_;
};
