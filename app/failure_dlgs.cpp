#include "failure_dlgs.h"

#include "desktop_calls.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"

namespace {

// The system's exclamation icon in place of the program's own.
void ShowExclamationIcon(CStatic& icon) { icon.SetIcon(::LoadIconA(nullptr, IDI_EXCLAMATION)); }

// Checked or indeterminate.
bool RestartTicked(const CButton& box) { return (box.GetState() & 3) != 0; }

}  // namespace

CTransferFailedDlg::CTransferFailedDlg() : CDialog(IDD_TRANSFER_FAILED) {}

BEGIN_MESSAGE_MAP(CTransferFailedDlg, CDialog)
  ON_BN_CLICKED(IDC_TRANSFER_FAILED_OK, OnOkClicked)
END_MESSAGE_MAP()

void CTransferFailedDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_FAILURE_ICON, m_iconStatic);
  DDX_Control(pDX, IDC_RESTART_CHECK, m_restartCheck);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CTransferFailedDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  ShowExclamationIcon(m_iconStatic);
  FillTransferFailedText(m_richText);
  SetForegroundWindow();
  return TRUE;
}

void CTransferFailedDlg::OnOkClicked() {
  EndDialog(static_cast<int>(RestartTicked(m_restartCheck) ? RESULT_RESTART : RESULT_QUIT));
}

void CTransferFailedDlg::OnCancel() {}

CConnectFailedDlg::CConnectFailedDlg() : CDialog(IDD_CONNECT_FAILED) {}

BEGIN_MESSAGE_MAP(CConnectFailedDlg, CDialog)
  ON_BN_CLICKED(IDC_CONNECT_FAILED_OK, OnOkClicked)
END_MESSAGE_MAP()

void CConnectFailedDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_FAILURE_ICON, m_iconStatic);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
  DDX_Control(pDX, IDC_RESTART_CHECK, m_restartCheck);
}

BOOL CConnectFailedDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  ShowExclamationIcon(m_iconStatic);
  CString caption;
  caption.LoadString(IDS_PDA_INIT_FAILED);
  SetWindowText(caption);
  FillConnectFailedText(m_richText);
  SetForegroundWindow();
  return TRUE;
}

void CConnectFailedDlg::OnOkClicked() {
  if (!RestartTicked(m_restartCheck)) {
    EndDialog(static_cast<int>(RESULT_QUIT));
    return;
  }
  RestartActiveSync();
  EndDialog(static_cast<int>(RESULT_RESTART));
}

void CConnectFailedDlg::OnCancel() {}
