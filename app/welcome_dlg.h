// The welcome page: the data-loss warning and the steps before the update.
#pragma once

#include "afxcmn.h"

class CWelcomeDlg : public CDialog {
 public:
  CWelcomeDlg();

  void OnSysCommand(UINT id, LPARAM lParam);
  void OnPaint();
  HCURSOR OnQueryDragIcon();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // CANCEL and Esc: asks first, and ends the page only on Yes.
  void OnCancel() override;
  // Asks about the data loss, checks the working files, then copies Nalvex to the
  // device and starts it there, and runs step 2; where the device cannot be reached
  // but its downloader port is there, asks whether it waits in its downloader already
  // and on Yes runs step 2 all the same; or tells what failed.
  void OnNextClicked();
  void OnCancelClicked();

  CButton m_btnNext;
  CRichEditCtrl m_richText;
  HICON m_hIcon;

  DECLARE_MESSAGE_MAP()
};
