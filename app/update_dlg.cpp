#include "update_dlg.h"

#include <string>

#include "confirm_cancel.h"
#include "desktop_calls.h"
#include "device_prep/temp_files.h"
#include "download.h"
#include "failure_dlgs.h"
#include "finish_dlg.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"
#include "update_progress_dlg.h"
#include "welcome_dlg.h"
#include "win32_serial.h"

namespace {

constexpr char WARNING_CAPTION[] = "Warning";

}  // namespace

CUpdateDlg::CUpdateDlg() : CDialog(IDD_UPDATE) {}

BEGIN_MESSAGE_MAP(CUpdateDlg, CDialog)
  ON_BN_CLICKED(IDC_UPDATE, OnUpdateClicked)
  ON_BN_CLICKED(IDC_STEP3_CANCEL, OnCancelClicked)
END_MESSAGE_MAP()

void CUpdateDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_UPDATE, m_btnUpdate);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  m_btnUpdate.EnableWindow(FALSE);
  FillUpdateText(m_richText);
  SetForegroundWindow();
  m_portWatch.Begin(&PortWatchThreadProc, this);
  return TRUE;
}

UINT __cdecl PortWatchThreadProc(LPVOID param) {
  CUpdateDlg& page = *static_cast<CUpdateDlg*>(param);
  const std::string path = UsbSerialPortPath(DEVICE_PORT_NUMBER);
  for (;;) {
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
      page.m_btnUpdate.EnableWindow(TRUE);
      CloseHandle(port);
      return 1;
    }
    page.m_btnUpdate.EnableWindow(FALSE);
    if (page.m_portWatch.WaitForStop(PORT_WATCH_PAUSE_MS)) return 1;
  }
}

void CUpdateDlg::OnUpdateClicked() {
  CString text;
  text.LoadString(IDS_UPDATE_BEGIN_WARNING);
  if (MessageBox(text, WARNING_CAPTION, MB_YESNO | MB_ICONEXCLAMATION) != IDYES) return;
  // The watcher has let the port go by the time UPDATE could be pressed; waiting for it
  // makes sure, as the transfer needs the port to itself.
  m_portWatch.Stop();
  OnOK();

  CUpdateProgressDlg progress;
  const INT_PTR result = progress.DoModal();
  if (result == DOWNLOAD_SUCCEEDED) {
    CFinishDlg finish;
    finish.DoModal();
  } else if (result == DOWNLOAD_FAILED) {
    CTransferFailedDlg failed;
    if (failed.DoModal() == RESULT_RESTART) {
      // The worker left the temporary folder as the current directory.
      DeleteFileA(STAGING_FILE_NAME);
      CWelcomeDlg welcome;
      welcome.DoModal();
    } else {
      DeleteTempFiles();
    }
  }
}

void CUpdateDlg::OnCancelClicked() {
  if (!ConfirmCancel(*this)) return;
  m_portWatch.Stop();
  DeleteTempFiles();
  RestartActiveSync();
  CDialog::OnCancel();
}

void CUpdateDlg::OnCancel() { OnCancelClicked(); }
