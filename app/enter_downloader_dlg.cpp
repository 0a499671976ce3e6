#include "enter_downloader_dlg.h"

#include "confirm_cancel.h"
#include "desktop_calls.h"
#include "resource.h"
#include "text_panes.h"
#include "update_dlg.h"

CEnterDownloaderDlg::CEnterDownloaderDlg() : CDialog(IDD_ENTER_DOWNLOADER) {}

BEGIN_MESSAGE_MAP(CEnterDownloaderDlg, CDialog)
  ON_BN_CLICKED(IDC_STEP2_NEXT, OnNextClicked)
  ON_BN_CLICKED(IDC_STEP2_CANCEL, OnCancelClicked)
END_MESSAGE_MAP()

void CEnterDownloaderDlg::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_RICH_TEXT, m_richText);
}

BOOL CEnterDownloaderDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  FillEnterDownloaderText(m_richText);
  StopActiveSync(this);
  SetForegroundWindow();
  return TRUE;
}

void CEnterDownloaderDlg::OnNextClicked() {
  OnOK();
  CUpdateDlg step3;
  step3.DoModal();
}

void CEnterDownloaderDlg::OnCancelClicked() {
  if (!ConfirmCancel(*this)) return;
  DeleteTempFiles();
  RestartActiveSync();
  CDialog::OnCancel();
}

void CEnterDownloaderDlg::OnCancel() { OnCancelClicked(); }
