// The OK boxes of the engine and of device preparation, shown by the framework: the
// caption is the application's name, and a box on a worker thread has no owner.
#pragma once

#include "message_boxes.h"

class AfxMessageBoxes : public MessageBoxes {
 public:
  void ShowOk(const std::string& text) override;
};
