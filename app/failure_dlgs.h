// The two failure dialogs: the transfer failed, or the device could not be reached.
// Each shows the exclamation icon and its text, and ends only by OK, with
// RESULT_RESTART when "restart program" is ticked and RESULT_QUIT when it is not.
#pragma once

#include "afxcmn.h"

constexpr INT_PTR RESULT_RESTART = 100001;
constexpr INT_PTR RESULT_QUIT = 100002;

// What both dialogs are: their controls, their opening, and no way out but OK.
class CFailureDlg : public CDialog {
 protected:
  // captionId 0 keeps the template's caption.
  CFailureDlg(UINT templateId, UINT captionId, void (*fill)(CRichEditCtrl&));

  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  // Esc and the close box leave the dialog open.
  void OnCancel() override;
  // RESULT_RESTART when the box is checked or indeterminate, else RESULT_QUIT.
  int Choice() const;

  CStatic m_iconStatic;
  CButton m_restartCheck;
  CRichEditCtrl m_richText;

 private:
  UINT captionId_;
  void (*fill_)(CRichEditCtrl&);
};

class CTransferFailedDlg : public CFailureDlg {
 public:
  CTransferFailedDlg();

 protected:
  void OnOkClicked();

  DECLARE_MESSAGE_MAP()
};

// Its caption reads "PDA initials failed." once open; OK with the box ticked starts
// the sync software again before the wizard starts anew.
class CConnectFailedDlg : public CFailureDlg {
 public:
  CConnectFailedDlg();

 protected:
  void OnOkClicked();

  DECLARE_MESSAGE_MAP()
};
