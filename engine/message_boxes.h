// Message boxes with an OK button, as the engine and device preparation show them.
#pragma once

#include <string>

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // A box with an OK button; returns when the user has answered it.
  virtual void ShowOk(const std::string& text) = 0;
};
