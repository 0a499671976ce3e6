#include "finish_dlg.h"

#include "desktop_calls.h"
#include "resource.h"
#include "text_panes.h"

CFinishDlg::CFinishDlg() : CDialog(IDD_FINISH) {}

BEGIN_MESSAGE_MAP(CFinishDlg, CDialog)
  ON_BN_CLICKED(IDC_FINISH, OnFinishClicked)
END_MESSAGE_MAP()

void CFinishDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CFinishDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  FillFinishText(m_richText);
  SetForegroundWindow();
  return TRUE;
}

void CFinishDlg::OnFinishClicked() {
  OnOK();
  DeleteTempFiles();
  RestartActiveSync();
}

CCheckFinishDlg::CCheckFinishDlg() : CDialog(IDD_CHECK_FINISH) {}

BEGIN_MESSAGE_MAP(CCheckFinishDlg, CDialog)
  ON_BN_CLICKED(IDC_STEP4_NEXT, OnNextClicked)
END_MESSAGE_MAP()

void CCheckFinishDlg::OnNextClicked() {
  OnOK();
  CFinishDlg finish;
  finish.DoModal();
}
