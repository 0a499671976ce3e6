// Step 2: the sync software is shut down, and the user waits for the device's
// downloader screen before going on.
#pragma once

#include "afxcmn.h"

class CEnterDownloaderDlg : public CDialog {
 public:
  CEnterDownloaderDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // Esc and the close box ask as CANCEL does.
  void OnCancel() override;
  void OnNextClicked();
  void OnCancelClicked();

  CRichEditCtrl m_richText;

  DECLARE_MESSAGE_MAP()
};
