#include "update_app.h"

#include "welcome_dlg.h"

CUpdateApp theApp;

BOOL CUpdateApp::InitInstance() {
  AfxEnableControlContainer();
  AfxInitRichEdit();
  Enable3dControls();

  CWelcomeDlg welcome;
  m_pMainWnd = &welcome;
  welcome.DoModal();
  // No message loop: the program ends once the welcome page, and every page run
  // inside its handlers, has returned.
  return FALSE;
}
