// The two failure dialogs: the transfer failed, or the device could not be reached.
// Each shows the exclamation icon and its text, and ends only by OK, with
// RESULT_RESTART when "restart program" is ticked and RESULT_QUIT when it is not.
#pragma once

#include "afxcmn.h"

constexpr INT_PTR RESULT_RESTART = 100001;
constexpr INT_PTR RESULT_QUIT = 100002;

class CTransferFailedDlg : public CDialog {
 public:
  CTransferFailedDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // Esc and the close box leave the dialog open.
  void OnCancel() override;
  void OnOkClicked();

  CStatic m_iconStatic;
  CButton m_restartCheck;
  CRichEditCtrl m_richText;

  DECLARE_MESSAGE_MAP()
};

// Its caption reads "PDA initials failed." once open; OK with the box ticked starts
// the sync software again before the wizard starts anew.
class CConnectFailedDlg : public CDialog {
 public:
  CConnectFailedDlg();

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // Esc and the close box leave the dialog open.
  void OnCancel() override;
  void OnOkClicked();

  CStatic m_iconStatic;
  CRichEditCtrl m_richText;
  CButton m_restartCheck;

  DECLARE_MESSAGE_MAP()
};
