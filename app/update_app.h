// The application object: runs the welcome page, from which the whole wizard runs
// as a chain of modal pages.
#pragma once

#include "afxwin.h"

class CUpdateApp : public CWinApp {
 public:
  BOOL InitInstance() override;
};

extern CUpdateApp theApp;
