#include "failure_dlgs.h"

#include "desktop_calls.h"
#include "resource.h"
#include "string_table.h"
#include "text_panes.h"

CFailureDlg::CFailureDlg(UINT templateId, UINT captionId, void (*fill)(CRichEditCtrl&))
    : CDialog(templateId), captionId_(captionId), fill_(fill) {}

void CFailureDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_FAILURE_ICON, m_iconStatic);
  DDX_Control(pDX, IDC_RESTART_CHECK, m_restartCheck);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CFailureDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // The system's exclamation icon in place of the program's own.
  m_iconStatic.SetIcon(::LoadIconA(nullptr, IDI_EXCLAMATION));
  if (captionId_ != 0) {
    CString caption;
    caption.LoadString(captionId_);
    SetWindowText(caption);
  }
  fill_(m_richText);
  SetForegroundWindow();
  return TRUE;
}

void CFailureDlg::OnCancel() {}

int CFailureDlg::Choice() const {
  return static_cast<int>((m_restartCheck.GetState() & 3) != 0 ? RESULT_RESTART : RESULT_QUIT);
}

CTransferFailedDlg::CTransferFailedDlg() : CFailureDlg(IDD_TRANSFER_FAILED, 0, &FillTransferFailedText) {}

BEGIN_MESSAGE_MAP(CTransferFailedDlg, CFailureDlg)
  ON_BN_CLICKED(IDC_TRANSFER_FAILED_OK, OnOkClicked)
END_MESSAGE_MAP()

void CTransferFailedDlg::OnOkClicked() { EndDialog(Choice()); }

CConnectFailedDlg::CConnectFailedDlg()
    : CFailureDlg(IDD_CONNECT_FAILED, IDS_PDA_INIT_FAILED, &FillConnectFailedText) {}

BEGIN_MESSAGE_MAP(CConnectFailedDlg, CFailureDlg)
  ON_BN_CLICKED(IDC_CONNECT_FAILED_OK, OnOkClicked)
END_MESSAGE_MAP()

void CConnectFailedDlg::OnOkClicked() {
  const int choice = Choice();
  if (choice == RESULT_RESTART) RestartActiveSync();
  EndDialog(choice);
}
