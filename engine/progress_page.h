// The worker's view of the progress page: its texts, its two bars, and its end.
#pragma once

#include <cstdint>
#include <string>

class ProgressBar {
 public:
  virtual ~ProgressBar() = default;
  // The range always starts at 0.
  virtual void SetRange(std::int32_t upper) = 0;
  virtual std::int32_t GetUpper() = 0;
  virtual void SetPos(std::int32_t position) = 0;
  virtual std::int32_t GetPos() = 0;
};

class ProgressPage {
 public:
  virtual ~ProgressPage() = default;
  virtual void SetTitle(const std::string& text) = 0;
  virtual void SetHeading(const std::string& text) = 0;
  virtual void SetStepCaption(const std::string& text) = 0;
  virtual ProgressBar& OverallBar() = 0;  // the upper bar
  virtual ProgressBar& StepBar() = 0;     // the lower bar
  // Ends the page's modal run with 1 (transfer done) or 3 (transfer failed).
  virtual void End(int result) = 0;
};
