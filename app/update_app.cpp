#include "update_app.h"

#include "string_table.h"
#include "welcome_dlg.h"
#include "wizard_running.h"

CUpdateApp theApp;

BOOL CUpdateApp::InitInstance() {
  // Held until the wizard has ended. Two ORVANEs on one temporary folder would delete
  // each other's files: the second one says so and ends before it touches anything.
  HANDLE running = CreateMutexA(nullptr, FALSE, WIZARD_RUNNING_MUTEX);
  if (HeldElsewhere(running)) {
    if (running != nullptr) CloseHandle(running);
    AfxMessageBox(IDS_LAUNCHER_ALREADY_RUNNING, MB_OK | MB_ICONEXCLAMATION);
    return FALSE;
  }

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
