// The progress page: hosts the download worker, which alone ends it.
#pragma once

#include "afxcmn.h"

class CUpdateProgressDlg : public CDialog {
 public:
  CUpdateProgressDlg();

  // Runs the page; returns once the worker has ended it and has itself ended.
  INT_PTR DoModal() override;

  // A log-off or shutdown would cut the transfer: refused while the page is up, where
  // the system asks (a forced one it does not).
  BOOL OnQueryEndSession();
  // So would a suspend: refused where the system asks first (Windows 2000 and XP;
  // later systems suspend without asking).
  UINT OnPowerBroadcast(UINT event, LPARAM data);
  // Releases the desktop.
  void OnDestroy();

  // What the worker uses of the page, besides its caption and EndDialog.
  CProgressCtrl m_progressTop;     // the overall bar
  CProgressCtrl m_progressBottom;  // the step bar
  CEdit m_editTop;                 // the heading
  CEdit m_editBottom;              // the step caption

 protected:
  // Swallows every command, Enter and Esc among them: only the worker ends the page.
  BOOL OnCommand(WPARAM wParam, LPARAM lParam) override;
  void DoDataExchange(CDataExchange* pDX) override;
  // Holds the desktop (the PC kept awake, a shutdown asked to wait) and starts the
  // worker; a worker that cannot start ends the page as a failed transfer.
  BOOL OnInitDialog() override;

 private:
  CPageThread m_worker;

  DECLARE_MESSAGE_MAP()
};

// The worker's entry: makes the temporary folder the current directory (it stays so),
// and runs the transfer from "temp.dat" through "TempFileToDown" to the device's port,
// driving the page and ending it with 1 or 3. Always 0.
UINT __cdecl DownloadThreadProc(LPVOID page);
