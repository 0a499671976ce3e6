// Step 3: UPDATE waits until the device's USB serial port can be opened; then the
// transfer runs, and its result decides what comes next.
#pragma once

#include "afxcmn.h"

// The port watcher's pause between two attempts to open the port.
constexpr DWORD PORT_WATCH_PAUSE_MS = 100;

class CUpdateDlg : public CDialog {
 public:
  CUpdateDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // Esc and the close box ask as CANCEL does.
  void OnCancel() override;
  void OnUpdateClicked();
  void OnCancelClicked();

  CButton m_btnUpdate;
  CRichEditCtrl m_richText;

  DECLARE_MESSAGE_MAP()

 private:
  // Runs beside the page until the port opens or the page stops it.
  friend UINT __cdecl PortWatchThreadProc(LPVOID page);
  CPageThread m_portWatch;
};

// Tries to open the port, pausing between attempts, and keeps UPDATE disabled while
// it fails; once the port opens, enables UPDATE, closes the port and ends. Ends too
// when its page asks it to. Always 1.
UINT __cdecl PortWatchThreadProc(LPVOID page);
