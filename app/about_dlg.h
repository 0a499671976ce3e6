// The about box, opened from the welcome page's system menu. It binds no control; its
// IDOK button ends it through the framework.
#pragma once

#include "afxwin.h"

class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
};
