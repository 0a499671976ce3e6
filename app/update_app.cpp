#include "update_app.h"

#include "welcome_dlg.h"
#include "wizard_running.h"

CUpdateApp theApp;

BOOL CUpdateApp::InitInstance() {
  // The launcher's sign that an ORVANE runs, held until the wizard has ended.
  HANDLE running = CreateMutexA(nullptr, FALSE, WIZARD_RUNNING_MUTEX);

  AfxEnableControlContainer();
  AfxInitRichEdit();
  Enable3dControls();

  CWelcomeDlg welcome;
  m_pMainWnd = &welcome;
  welcome.DoModal();
  if (running != nullptr) CloseHandle(running);
  // No message loop: the program ends once the welcome page, and every page run
  // inside its handlers, has returned.
  return FALSE;
}
